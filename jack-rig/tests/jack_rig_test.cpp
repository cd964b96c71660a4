#include "jack_rig/jack_rig.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using jack_rig::Direction;
using jack_rig::JackClient;
using jack_rig::JackServer;
using jack_rig::PortType;
using namespace std::chrono_literals;

// A zombie left for a non-reaping init counts as gone.
bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, comm, state;
    stat >> pid_field >> comm >> state;
    return !stat || state == "Z";
}

TEST(JackRigLock, IsReentrantAndExcludesOtherProcesses) {
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();  // before locking: the child must not share this lock
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        (void)!read(go[0], &byte, 1);
        const bool blocked = !jack_rig::JackLock::acquire(100ms).has_value();
        (void)!write(done[1], &byte, 1);
        (void)!read(go[0], &byte, 1);
        const bool later = jack_rig::JackLock::acquire(5s).has_value();
        _exit(blocked && later ? 0 : 1);
    }
    {
        auto first = jack_rig::JackLock::acquire();
        ASSERT_TRUE(first.has_value()) << first.error().message;
        auto second = jack_rig::JackLock::acquire(0ms);  // same process: immediate
        ASSERT_TRUE(second.has_value());
        char byte = 1;
        ASSERT_EQ(write(go[1], &byte, 1), 1);
        ASSERT_EQ(read(done[0], &byte, 1), 1);
    }
    char byte = 1;
    ASSERT_EQ(write(go[1], &byte, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {go[0], go[1], done[0], done[1]})
        close(fd);
}

// One server start (each is expensive): found through the environment, MIDI in order, audio.
TEST(JackRigServer, IsFoundThroughTheEnvironmentRecordsMidiInOrderAndAudioAndStops) {
    const char* before = std::getenv("JACK_DEFAULT_SERVER");
    const std::string before_text = before ? before : "";
    auto server = JackServer::start();
    ASSERT_TRUE(server.has_value()) << server.error().message;
    ASSERT_NE(std::getenv("JACK_DEFAULT_SERVER"), nullptr);
    EXPECT_EQ(std::string(std::getenv("JACK_DEFAULT_SERVER")), server->name());
    {
        auto opened = JackClient::open("rig-test");
        ASSERT_TRUE(opened.has_value()) << opened.error().message;
        JackClient& c = **opened;
        EXPECT_EQ(c.period(), 256u);
        EXPECT_EQ(c.ports({}, PortType::Audio, Direction::Output),
                  (std::vector<std::string>{"system:capture_1", "system:capture_2"}));
        auto out = c.add_midi_output("out");
        auto in = c.add_midi_input("in");
        ASSERT_TRUE(out && in);
        ASSERT_TRUE(c.connect(*out, *in).has_value());
        ASSERT_TRUE(c.connect(*out, *in).has_value());  // already connected is fine
        EXPECT_EQ(c.ports({}, PortType::Midi, Direction::Input), std::vector<std::string>{*in});
        const std::vector<std::vector<std::uint8_t>> sent = {
            {0x90, 60, 100}, {0xB0, 7, 64}, {0xF8}, {0xF0, 1, 2, 3, 0xF7}};
        for (const auto& m : sent)
            ASSERT_TRUE(c.send_midi(m).has_value());
        ASSERT_TRUE(c.wait_for_midi(sent.size(), 2s) && c.wait_cycles(3, 2s));
        const auto got = c.midi_events();
        ASSERT_EQ(got.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i)  // all queued before one cycle
            EXPECT_EQ(std::tuple(got[i].bytes, got[i].port, got[i].frame),
                      std::tuple(sent[i], std::string("in"), got[0].frame));
        EXPECT_EQ(c.dropped(), 0u);
        EXPECT_FALSE(c.send_midi(std::vector<std::uint8_t>{}).has_value());
        EXPECT_FALSE(c.send_midi(std::vector<std::uint8_t>{0xF8}, "nope").has_value());
        auto audio = c.add_audio_input("audio");
        ASSERT_TRUE(audio.has_value());
        ASSERT_TRUE(c.connect("system:capture_1", *audio).has_value());
        ASSERT_TRUE(c.wait_for_audio("audio", 4 * 256, 2s));
        const auto track = c.audio("audio");
        EXPECT_EQ(track.samples.size() % 256, 0u);
        c.clear();
        EXPECT_TRUE(c.midi_events().empty());
        ASSERT_TRUE(c.wait_for_audio("audio", 256, 2s));
        EXPECT_GE(static_cast<std::int32_t>(c.audio("audio").first_frame - track.first_frame),
                  static_cast<std::int32_t>(track.samples.size()));
        EXPECT_FALSE(c.wait_for_audio("no-such-port", 1, 10ms));
    }
    const pid_t pid = server->pid();
    EXPECT_TRUE(server->stop().has_value());
    EXPECT_FALSE(server->running());
    EXPECT_TRUE(process_gone(pid));
    EXPECT_TRUE(server->stop().has_value());
    const char* after = std::getenv("JACK_DEFAULT_SERVER");
    EXPECT_EQ(after ? std::string(after) : std::string(), before_text);
}

}  // namespace
