// KivroProxy.exe's entry point: the process-wide set-up that must come before any
// object exists (error mode, the rich-edit library, the upper-case table), then
// the Shell, which runs the program. Every way out ends with exit code 0.
#include <windows.h>

#include "app/win32/Shell.h"
#include "engine/Proxy.h"
#include "settings/win32/PropSheets.h"
#include "text/Text.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT | SEM_NOOPENFILEERRORBOX);
    LoadLibraryA("Riched20");
    kivro::InitUpperTable();
    kivro::ResetSheet();
    static kivro::Proxy proxy;
    static kivro::Shell shell(proxy);
    return shell.Run(GetCommandLineA());
}
