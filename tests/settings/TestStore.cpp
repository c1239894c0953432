// The per-test store of TestStore.h.
#include "TestStore.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "settings/SettingsStorage.h"

namespace kivro::test {

namespace {
#ifdef _WIN32
constexpr const char* kTestRoot = "Software\\Ostraven\\KivroProxyTests";
#endif
}  // namespace

void StoreTest::SetUp() {
#ifdef _WIN32
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    keyPath_ = std::string(kTestRoot) + "\\" + std::to_string(GetCurrentProcessId()) + "-" +
               info->test_suite_name() + "-" + info->name();
    for (char& c : keyPath_)
        if (c == '/') c = '_';
    RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str());
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/kivro-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    file_ = folder_ + "/kivroproxy/settings.reg";
    keyPath_ = kSettingsKeyPath;
#endif
}

void StoreTest::TearDown() {
    store_.reset();
#ifdef _WIN32
    RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestRoot);  // only when no other run uses it
#else
    if (!folder_.empty()) {
        std::string cmd = "rm -rf '" + folder_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
#endif
}

std::unique_ptr<ValueStore> StoreTest::NewValues() {
#ifdef _WIN32
    return CreateSettingsValueStore();
#else
    return CreateSettingsFileStore(file_.c_str());
#endif
}

SettingsStore& StoreTest::Store() {
    if (!store_) {
        store_ = std::make_unique<SettingsStore>(NewValues());
        EXPECT_TRUE(store_->OpenKey(keyPath_.c_str()));
    }
    return *store_;
}

void StoreTest::Put(const char* name, uint32_t type, const std::string& data) {
    ASSERT_TRUE(Store().Values().Set(name, type, data.data(), static_cast<uint32_t>(data.size())));
}

}  // namespace kivro::test
