// A test's own scratch folder with one file in it, removed after the test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TScratchFileTest : public ::testing::Test {
  protected:
    TScratchFileTest(std::string prefix, std::string fileName)
        : prefix_(std::move(prefix)), fileName_(std::move(fileName)) {}

    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  (prefix_ + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / fileName_).string();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    void Write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string Read() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path folder_;
    std::string path_;

  private:
    std::string prefix_;
    std::string fileName_;
};
