// What KivroProxy.exe does before any window exists: it registers the common
// controls it uses. Wine registers every common-control class when comctl32 is
// loaded, so a missing registration never shows here; real Windows with the
// common-controls 6 manifest leaves the classes unregistered. The test reads the
// program's own import table, which names every system function it calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

#include "UiTestSupport.h"

namespace kivro::uitest {
namespace {

// The functions a program imports from one DLL, read from its image mapped
// without running it.
std::set<std::string> ImportsFrom(const std::string& program, const char* dll) {
    std::set<std::string> names;
    HMODULE image = LoadLibraryExA(program.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (image == nullptr) return names;
    auto* base = reinterpret_cast<const BYTE*>(image);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; directory.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        DWORD lookup = entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk;
        for (auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + lookup);
             thunk->u1.AddressOfData != 0; ++thunk) {
            if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
                base + static_cast<DWORD>(thunk->u1.AddressOfData));
            names.insert(reinterpret_cast<const char*>(byName->Name));
        }
    }
    FreeLibrary(image);
    return names;
}

TEST(StartUp, ProgramRegistersTheCommonControlsItUses) {
    std::string program = std::string("Z:") + KIVRO_BINARY_DIR + "/app/KivroProxy.exe";
    std::set<std::string> imports = ImportsFrom(program, "comctl32.dll");
    ASSERT_FALSE(imports.empty()) << program;  // it uses the status bar and property sheets
    EXPECT_TRUE(imports.count("InitCommonControlsEx")) << program;
    // The same registration the program makes, as the tests make it too.
    EXPECT_TRUE(RegisterControlClasses());
}

}  // namespace
}  // namespace kivro::uitest
