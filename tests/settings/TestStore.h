// A fresh, real settings store for one test: on Windows a key of its own in
// the registry (deleted afterwards), on Linux a settings file in a private
// temporary folder. The typed tests run unchanged over either.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "settings/SettingsStore.h"
#include "settings/ValueStore.h"

namespace kivro::test {

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A new store over this test's key, not yet opened.
    std::unique_ptr<ValueStore> NewValues();
    // A SettingsStore over this test's key, opened.
    SettingsStore& Store();

    // Stores raw data, as another program (or regedit) might have written it.
    void Put(const char* name, uint32_t type, const std::string& data);

    std::string keyPath_;
#ifndef _WIN32
    std::string folder_;
    std::string file_;
#endif

  private:
    std::unique_ptr<SettingsStore> store_;
};

}  // namespace kivro::test
