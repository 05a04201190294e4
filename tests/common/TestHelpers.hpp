// Helpers shared by the test files.
#pragma once

#include <unistd.h>

#include <exception>
#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "base/Excn.hpp"

namespace morv::testing {

// A shader name with the hash of its text shown as "#": "Red_0123456789abcdef"
// is "Red_#", so that tables need not spell hashes out.
inline std::string hashHidden(const std::string& name) {
    return std::regex_replace(name, std::regex("_[0-9a-f]{16}(?![0-9A-Za-z])"), "_#");
}

// The message an exception carries: ours by message(), others by what().
inline std::string messageOf(const std::exception& e) {
    if (auto* m = dynamic_cast<const MorvException*>(&e)) return m->message();
    return e.what();
}

// A fresh folder of its own for each test, removed afterwards.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("morv3d-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "-" + test->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
};

}  // namespace morv::testing

// Expects stmt to throw an exception of type Kind whose message is exactly text.
#define EXPECT_THROW_MSG(stmt, Kind, text)                                                        \
    do {                                                                                          \
        bool morvThrew_ = false;                                                                  \
        try {                                                                                     \
            stmt;                                                                                 \
        } catch (const Kind& morvE_) {                                                            \
            morvThrew_ = true;                                                                    \
            EXPECT_EQ(::morv::testing::messageOf(morvE_), std::string(text)) << "from: " #stmt;   \
        } catch (const std::exception& morvE_) {                                                  \
            morvThrew_ = true;                                                                    \
            ADD_FAILURE() << "Expected " #Kind " from " #stmt ", got " << ::morv::exceptionName(morvE_) \
                          << ": " << ::morv::testing::messageOf(morvE_);                          \
        } catch (...) {                                                                           \
            morvThrew_ = true;                                                                    \
            ADD_FAILURE() << "Expected " #Kind " from " #stmt ", got an unknown exception";       \
        }                                                                                         \
        if (!morvThrew_) ADD_FAILURE() << "Expected " #Kind " from " #stmt ", nothing was thrown"; \
    } while (0)
