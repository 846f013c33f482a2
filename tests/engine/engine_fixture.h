// Shared set-up of the engine tests: the scripted VISA double, captured
// standard streams, a recorded sleep, and image files in a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine_output.h"
#include "update.h"
#include "visa_double.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        OpenStreams();
        dir_ = std::filesystem::temp_directory_path() /
               ("engine-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }

    void TearDown() override {
        CloseStreams();
        std::filesystem::remove_all(dir_);
    }

    // A fresh double and fresh streams within one test; files are kept.
    void Reset() {
        CloseStreams();
        OpenStreams();
    }

    static std::vector<uint32_t>& slept() { return EngineOutput::slept(); }
    std::string err() { return output_->err(); }
    std::string out() { return output_->out(); }

    // An image of `size` bytes whose content shows where each byte came from.
    std::string image(size_t size, const std::string& name = "image.bin") {
        const auto path = (dir_ / name).string();
        std::ofstream file(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            file.put(static_cast<char>((i * 7 + i / 251) & 0xFF));
        return path;
    }

    static std::vector<std::string> writes() { return visa_double::writes(); }
    static std::vector<std::string> names() { return visa_double::call_names(); }

    static int count(const std::vector<std::string>& list, const std::string& item) {
        return static_cast<int>(std::count(list.begin(), list.end(), item));
    }

    // Values set on `attr`, in order.
    static std::vector<ViAttrState> sets_of(ViAttr attr) {
        std::vector<ViAttrState> values;
        for (const auto& call : visa_double::calls())
            if (call.fn == "viSetAttribute" && call.attr == attr) values.push_back(call.value);
        return values;
    }

    // Index of the first call named `fn` whose text starts with `prefix`, or -1.
    static int index_of(const std::string& fn, const std::string& prefix = "") {
        const auto& calls = visa_double::calls();
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].fn == fn && calls[i].text.rfind(prefix, 0) == 0)
                return static_cast<int>(i);
        return -1;
    }

    static std::string visa_line(ViStatus status) {
        return "VISA error: " + std::to_string(status) + " - " + visa_double::status_text(status) +
               "\n";
    }

    std::filesystem::path dir_;

private:
    void OpenStreams() {
        visa_double::reset();
        output_.reset();  // the default engine's streams: one capture at a time
        output_ = std::make_unique<EngineOutput>();
    }
    void CloseStreams() { output_.reset(); }

    std::unique_ptr<EngineOutput> output_;
};

inline constexpr char lan[] = "TCPIP0::127.0.0.2::inst0::INSTR";
