// Engines as objects: each keeps its own streams, observers and sleep.
#include "engine_fixture.h"

namespace {

using Strings = std::vector<std::string>;

// Hears the operations, tagged with its name.
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
    }
};

std::vector<uint32_t> second_slept;

std::string contents(FILE* file) {
    std::string text(4096, '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return text;
}

}  // namespace

TEST_F(EngineTest, TwoEnginesKeepTheirStreamsObserversAndSleepApart) {
    const std::string path = image(3000);
    ASSERT_EQ(update_image(lan, "HPAP", path.c_str(), -1), 0);
    const std::string default_out = out();
    Reset();

    update_engine first, second;
    FILE* first_out = std::tmpfile();
    FILE* second_err = std::tmpfile();
    first.set_streams(first_out, first_out);
    second.set_streams(second_err, second_err);
    second.set_sleep([](uint32_t ms) { second_slept.push_back(ms); });
    Strings heard;
    Listener on_default("default", &heard), on_first("first", &heard), on_second("second", &heard);
    update_add_observer(&on_default.hook);
    first.add_observer(&on_first.hook);
    second.add_observer(&on_second.hook);

    EXPECT_EQ(first.image(lan, "HPAP", path.c_str(), -1), 0);
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    second.reboot_host(lan);
    second.reboot_host(lan);
    update_remove_observer(&on_default.hook);

    EXPECT_EQ(contents(first_out), default_out) << "the same texts as the default engine";
    EXPECT_EQ(contents(second_err), "update: Device locked by another process.\n");
    EXPECT_EQ(out() + err(), "");
    EXPECT_EQ(second_slept, (std::vector<uint32_t>{4000}));
    EXPECT_TRUE(slept().empty());
    EXPECT_EQ(heard, (Strings{"first begin image", "first end image", "second begin reboot",
                              "second end reboot", "second begin reboot", "second end reboot"}));
    std::fclose(first_out);
    std::fclose(second_err);
}

TEST_F(EngineTest, AnyNumberOfObserversHearInTheOrderAdded) {
    Strings heard;
    std::vector<std::unique_ptr<Listener>> listeners;
    for (int i = 0; i < 9; ++i) {
        listeners.push_back(std::make_unique<Listener>(std::to_string(i), &heard));
        EXPECT_TRUE(update_add_observer(&listeners.back()->hook)) << i;
    }
    update_remove_observer(&listeners[4]->hook);
    update_end(lan);
    for (const auto& listener : listeners)
        update_remove_observer(&listener->hook);
    Strings expected;
    for (const char* when : {" begin end", " end end"})
        for (int i = 0; i < 9; ++i)
            if (i != 4) expected.push_back(std::to_string(i) + when);
    EXPECT_EQ(heard, expected);
}
