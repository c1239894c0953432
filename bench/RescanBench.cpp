// Rescan cost against the floor it cannot beat: the same folder listed with
// readdir and fstatat and nothing else. Folders of 1,000, 10,000 and 50,000
// small files are made once under the temporary folder and removed at the end.
// "Rescan" is the steady case (nothing changed, every name found in the index);
// "Open" includes building the list from nothing. The goal is Rescan within
// twice the bare listing.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/System.h"
#include "sync/DirMonitor.h"
#include "text/Text.h"

namespace {

namespace fs = std::filesystem;

std::map<int, fs::path>& Folders() {
    static std::map<int, fs::path> folders;
    return folders;
}

const fs::path& FolderOf(int files) {
    fs::path& path = Folders()[files];
    if (path.empty()) {
        path = fs::temp_directory_path() /
               ("kivro-rescan-bench-" + std::to_string(getpid()) + "-" + std::to_string(files));
        fs::create_directories(path);
        for (int i = 0; i < files; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "document-%06d.txt", i);
            int fd = open((path / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                if (write(fd, name, 12) != 12) std::perror("write");
                close(fd);
            }
        }
    }
    return path;
}

void BareListing(benchmark::State& state) {
    const std::string dir = FolderOf(static_cast<int>(state.range(0))).string();
    for (auto _ : state) {
        DIR* d = opendir(dir.c_str());
        uint64_t bytes = 0;
        int files = 0;
        while (const dirent* e = readdir(d)) {
            struct stat st;
            if (fstatat(dirfd(d), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
                bytes += static_cast<uint64_t>(st.st_size) + static_cast<uint64_t>(st.st_mtime);
                ++files;
            }
        }
        closedir(d);
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(files);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Rescan(benchmark::State& state) {
    const std::string dir = FolderOf(static_cast<int>(state.range(0))).string();
    kivro::DirMonitor monitor;
    monitor.AddExcludes("*.bak; *~");
    if (monitor.Open(dir.c_str()).Failed()) state.SkipWithError("Open failed");
    for (auto _ : state) {
        monitor.Rescan();
        benchmark::DoNotOptimize(monitor.Files());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Open(benchmark::State& state) {
    const std::string dir = FolderOf(static_cast<int>(state.range(0))).string();
    kivro::DirMonitor monitor;
    monitor.AddExcludes("*.bak; *~");
    for (auto _ : state) {
        if (monitor.Open(dir.c_str()).Failed()) state.SkipWithError("Open failed");
        benchmark::DoNotOptimize(monitor.Files());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BareListing)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(Rescan)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(Open)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    kivro::platform::InitUpperTable();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto& [files, path] : Folders()) {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    return 0;
}
