// Captures what the engine writes on its two streams, and the pauses it asks
// for, for the life of one object: tests compare the lines byte for byte and
// never really sleep. One at a time: it sets the default engine's streams.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update.h"

class EngineOutput {
public:
    EngineOutput() {
        out_ = open_memstream(&out_text_, &out_size_);
        err_ = open_memstream(&err_text_, &err_size_);
        update_set_streams(out_, err_);
        slept().clear();
        update_set_sleep([](uint32_t ms) { slept().push_back(ms); });
    }
    ~EngineOutput() {
        update_set_streams(nullptr, nullptr);
        update_set_sleep(nullptr);
        std::fclose(out_);
        std::fclose(err_);
        std::free(out_text_);
        std::free(err_text_);
    }
    EngineOutput(const EngineOutput&) = delete;
    EngineOutput& operator=(const EngineOutput&) = delete;

    std::string out() {
        std::fflush(out_);
        return {out_text_, out_size_};
    }
    std::string err() {
        std::fflush(err_);
        return {err_text_, err_size_};
    }

    // Every pause requested since construction, in milliseconds.
    static std::vector<uint32_t>& slept() {
        static std::vector<uint32_t> calls;
        return calls;
    }

private:
    FILE* out_ = nullptr;
    FILE* err_ = nullptr;
    char* out_text_ = nullptr;
    char* err_text_ = nullptr;
    size_t out_size_ = 0;
    size_t err_size_ = 0;
};
