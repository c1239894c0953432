// KivroProxy.exe's entry point: the process-wide set-up that must come before any
// object exists (error mode, the rich-edit library, the common-control classes,
// the upper-case table), then the Shell, which runs the program. The engine and
// the shell live until the process ends and are never destroyed: a worker that
// outlives Shutdown's bounded wait must not hold up the exit in a destructor.
// Every way out ends with exit code 0.
#include <windows.h>

#include "app/win32/Shell.h"
#include "engine/Proxy.h"
#include "app/win32/PropSheets.h"
#include "platform/System.h"
#include "text/Text.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT | SEM_NOOPENFILEERRORBOX);
    LoadLibraryA("Riched20");
    kivro::RegisterControlClasses();
    kivro::platform::InitUpperTable();
    kivro::ResetSheet();
    auto* proxy = new kivro::Proxy;
    auto* shell = new kivro::Shell(*proxy);
    shell->Run(GetCommandLineA());
    ExitProcess(0);
}
