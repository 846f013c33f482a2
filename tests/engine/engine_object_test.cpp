// Engines as objects: each keeps its own streams, observers and sleep, and
// the update_* functions are the default engine's.
#include <cstdlib>

#include "engine_fixture.h"

namespace {

using Strings = std::vector<std::string>;

// One engine's two streams, captured.
struct Streams {
    char* out_text = nullptr;
    char* err_text = nullptr;
    size_t out_size = 0;
    size_t err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    ~Streams() {
        std::fclose(out);
        std::fclose(err);
        std::free(out_text);
        std::free(err_text);
    }
    std::string out_now() {
        std::fflush(out);
        return {out_text, out_size};
    }
    std::string err_now() {
        std::fflush(err);
        return {err_text, err_size};
    }
};

// Hears the operations and the locked reports, tagged with its name.
struct Listener {
    update_observer hook{};
    std::string name;
    Strings* heard;
    Listener(std::string tag, Strings* into) : name(std::move(tag)), heard(into) {
        hook.context = this;
        hook.on_operation = [](void* c, const char* op, const char*, bool ended, int) {
            auto* self = static_cast<Listener*>(c);
            self->heard->push_back(self->name + (ended ? " end " : " begin ") + op);
        };
        hook.on_locked = [](void* c, const char*) {
            auto* self = static_cast<Listener*>(c);
            self->heard->push_back(self->name + " locked");
        };
    }
};

std::vector<uint32_t>& second_sleeps() {
    static std::vector<uint32_t> calls;
    return calls;
}

}  // namespace

TEST_F(EngineTest, TwoEnginesKeepTheirStreamsObserversAndSleepApart) {
    const std::string path = image(3000);
    ASSERT_EQ(update_image(lan, "HPAP", path.c_str(), -1), 0);
    const std::string default_out = out();
    Reset();

    update_engine first, second;
    Streams first_streams, second_streams;
    first.set_streams(first_streams.out, first_streams.err);
    second.set_streams(second_streams.out, second_streams.err);
    second_sleeps().clear();
    second.set_sleep([](uint32_t ms) { second_sleeps().push_back(ms); });
    Strings heard;
    Listener on_default("default", &heard), on_first("first", &heard), on_second("second", &heard);
    ASSERT_TRUE(update_add_observer(&on_default.hook));
    ASSERT_TRUE(first.add_observer(&on_first.hook));
    ASSERT_TRUE(second.add_observer(&on_second.hook));

    EXPECT_EQ(first.image(lan, "HPAP", path.c_str(), -1), 0);
    EXPECT_EQ(first_streams.out_now(), default_out) << "the same texts as the default engine";
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    second.start(lan);
    second.reboot_host(lan);
    EXPECT_EQ(second_streams.err_now(), "update: Device locked by another process.\n");
    EXPECT_EQ(second_streams.out_now(), "");
    EXPECT_EQ(first_streams.err_now(), "");
    EXPECT_EQ(second_sleeps(), (std::vector<uint32_t>{4000}));
    EXPECT_TRUE(slept().empty()) << "the default engine's sleep is not the second's";
    EXPECT_EQ(out() + err(), "") << "nothing on the default engine's streams";
    EXPECT_EQ(heard, (Strings{"first begin image", "first end image", "second begin start",
                              "second locked", "second end start", "second begin reboot",
                              "second end reboot"}));

    // Back on the default engine, the others hear nothing.
    heard.clear();
    update_end(lan);
    EXPECT_EQ(heard, (Strings{"default begin end", "default end end"}));
    update_remove_observer(&on_default.hook);
}

TEST_F(EngineTest, AnyNumberOfObserversHearInTheOrderAdded) {
    Strings heard;
    std::vector<std::unique_ptr<Listener>> listeners;
    for (int i = 0; i < 9; ++i) {
        listeners.push_back(std::make_unique<Listener>(std::to_string(i), &heard));
        ASSERT_TRUE(update_add_observer(&listeners.back()->hook)) << i;
    }
    EXPECT_FALSE(update_add_observer(nullptr));
    update_remove_observer(&listeners[4]->hook);
    update_end(lan);
    Strings expected;
    for (const char* when : {" begin end", " end end"})
        for (int i = 0; i < 9; ++i)
            if (i != 4) expected.push_back(std::to_string(i) + when);
    EXPECT_EQ(heard, expected);
    for (const auto& listener : listeners)
        update_remove_observer(&listener->hook);
    heard.clear();
    update_end(lan);
    EXPECT_TRUE(heard.empty());
}
