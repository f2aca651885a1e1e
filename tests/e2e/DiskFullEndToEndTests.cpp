// Recording onto a disk that fills up mid-call (scripts/audio-sandbox.sh run): the real CallRecorder on the
// real PipeWire backend in this process, and the real `quillora --record`, writing into a small file
// system of this test's own that it fills at a chosen moment.
//
// The small disk is a tmpfs mounted in a private mount namespace (it vanishes with this process and its
// children). Where mounting is not permitted, or with QUILLORA_DISK_FULL=shim, a plain folder stands in
// and DiskFullShim (LD_PRELOAD) makes writes into it fail with ENOSPC once it is "full". The test says
// which of the two it used.

#include "MediaTestSupport.h"
#include "SandboxSupport.h"

#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kRate = 48000;
constexpr std::size_t kDiskBytes = 4 * 1024 * 1024;

// The small disk recordings go to in these tests, and how it is made full.
class SmallDisk {
public:
    enum class Kind { tmpfs, shim };

    // Called first thing in main, while the process has a single thread (unshare needs that). May re-run
    // the program with the shim preloaded; returns false when neither way works.
    static bool prepare(char** argv);
    static SmallDisk& get() { return *instance_; }

    Kind kind() const { return kind_; }
    const std::filesystem::path& folder() const { return folder_; }
    std::string description() const {
        return kind_ == Kind::tmpfs
                   ? "a " + std::to_string(kDiskBytes / 1024) + " KiB tmpfs in a private mount namespace"
                   : "a folder whose writes fail with ENOSPC when full (LD_PRELOAD shim)";
    }

    // From now on nothing more fits.
    void fill() {
        if (kind_ == Kind::shim) {
            std::ofstream(folder_ / ".full").close(); // created, never written
            return;
        }
        const int fd = open((folder_ / ".filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        std::vector<char> chunk(4096, 0);
        while (::write(fd, chunk.data(), chunk.size()) > 0) {
        }
        const int error = errno;
        close(fd);
        ASSERT_EQ(error, ENOSPC);
    }
    // Room again, and nothing left from the previous test.
    void empty() {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder_, ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }

private:
    SmallDisk(Kind kind, std::filesystem::path folder) : kind_(kind), folder_(std::move(folder)) {}

    static SmallDisk* instance_;
    Kind kind_;
    std::filesystem::path folder_;
};

SmallDisk* SmallDisk::instance_ = nullptr;

bool SmallDisk::prepare(char** argv) {
    const std::filesystem::path folder =
        std::filesystem::path(std::getenv("QUILLORA_SANDBOX_DIR")) / "small-disk";
    const char* preloaded = std::getenv("QUILLORA_FULL_DISK_DIR");
    if (preloaded != nullptr) { // the second run, with the shim loaded
        static SmallDisk disk(Kind::shim, preloaded);
        instance_ = &disk;
        return true;
    }
    std::filesystem::create_directories(folder);
    const char* forced = std::getenv("QUILLORA_DISK_FULL");
    const bool wantShim = forced != nullptr && std::string(forced) == "shim";
    if (!wantShim) {
        // Private: the mount is not seen outside, and it ends with the last process in the namespace.
        const std::string size = "size=" + std::to_string(kDiskBytes) + ",mode=0700";
        if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("quillora-small-disk", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) == 0) {
            static SmallDisk disk(Kind::tmpfs, folder);
            instance_ = &disk;
            return true;
        }
        std::fprintf(stderr, "cannot mount a tmpfs here (%s): using the write shim\n", std::strerror(errno));
    }
    // Run again with the shim: it must be there from the start, for this process and the program it runs.
    setenv("QUILLORA_FULL_DISK_DIR", folder.c_str(), 1);
    setenv("LD_PRELOAD", QUILLORA_DISK_FULL_SHIM, 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "cannot run again with the write shim: %s\n", std::strerror(errno));
    return false;
}

double amplitudeAt(const std::vector<float>& samples, std::size_t begin, std::size_t length,
                   double frequency) {
    return toneAmplitude(samples, begin, length, frequency, kRate);
}

void keepRunning(std::chrono::milliseconds time) {
    waitUntil([] { return false; }, time);
}

class DiskFull : public ::testing::Test {
protected:
    void SetUp() override {
        SmallDisk::get().empty();
        std::fprintf(stderr, "[ disk     ] %s\n", SmallDisk::get().description().c_str());
        // The call: the default microphone at 440 Hz and a far end at 1000 Hz, separate processes.
        players_.push_back(sandbox("mic mic1 440"));
        players_.push_back(sandbox("play spk1 1000 3600 far-end"));
        sandbox("wait-node far-end");
        sandbox("default-source mic1");
    }
    void TearDown() override {
        for (const std::string& pid : players_) {
            sandbox("kill " + pid);
        }
        SmallDisk::get().empty();
    }

    std::vector<std::string> players_;
};

TEST_F(DiskFull, StopsWithOneWriteFailureAndKeepsWhatReachedTheDisk) {
    const auto output = SmallDisk::get().folder() / "call.m4a";
    CallRecorder recorder(output, std::nullopt);
    std::vector<CallRecorder::Event> events;
    recorder.onEvent = [&](const CallRecorder::Event& event) { events.push_back(event); };
    recorder.start(true);
    ASSERT_TRUE(recorder.isRunning());
    ASSERT_TRUE(waitUntil([&] { return recorder.callbackCount() > 0; }));
    const auto firstBlock = Clock::now();
    keepRunning(3s);

    ASSERT_NO_FATAL_FAILURE(SmallDisk::get().fill());
    const double filledAt = std::chrono::duration<double>(Clock::now() - firstBlock).count();
    // The next fragment (at most a second of audio) no longer fits.
    ASSERT_TRUE(waitUntil([&] { return !recorder.isRunning(); }, 5000ms));
    const double failedAt = std::chrono::duration<double>(Clock::now() - firstBlock).count();
    keepRunning(2500ms); // a watchdog tick or a late block would show up here

    ASSERT_EQ(events.size(), 1u);
    const auto* failure = std::get_if<CallRecorder::Failure>(&events.front());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->message.rfind("Errore di scrittura: ", 0), 0u) << failure->message;
    EXPECT_NE(failure->message.find(output.string()), std::string::npos) << failure->message;
    EXPECT_EQ(recorder.deviceState(), "nessun dispositivo");

    // What reached the disk before it filled up stays playable: every fragment completed by then, so the
    // file ends at most about a second (one fragment) before the disk filled, and never after the failure.
    const DecodedAudio decoded = decodeAudioFile(output);
    ASSERT_EQ(decoded.channelCount, 2);
    EXPECT_GT(decoded.seconds(), filledAt - 1.3);
    EXPECT_LT(decoded.seconds(), failedAt);
    const auto& left = decoded.channels[0];
    const std::size_t lastSecond = decoded.frames() - 48000;
    EXPECT_GT(amplitudeAt(left, lastSecond, 48000, 440), 0.1) << "the microphone up to the end";
    EXPECT_GT(amplitudeAt(left, lastSecond, 48000, 1000), 0.1) << "the far end up to the end";
    std::fprintf(stderr,
                 "[ figures  ] disk full after %.3f s, failure at %.3f s, file %.3f s playable: \"%s\"\n",
                 filledAt, failedAt, decoded.seconds(), failure->message.c_str());
}

TEST_F(DiskFull, HeadlessRecordingReportsTheErrorOnStandardOutputAndFails) {
    const auto output = SmallDisk::get().folder() / "headless.m4a";
    const auto summaryPath = output.string() + ".json";
    QProcess program;
    program.setProgram(QStringLiteral(QUILLORA_BINARY));
    program.setArguments({"--record", "30", "--out", QString::fromStdString(output.string())});
    program.setProcessChannelMode(QProcess::SeparateChannels);
    const auto started = Clock::now();
    program.start();
    ASSERT_TRUE(program.waitForStarted());
    // Wait until the recording is under way: the file grows by a fragment a second.
    ASSERT_TRUE(waitUntil(
        [&] {
            std::error_code error;
            return std::filesystem::file_size(output, error) > 16 * 1024 && !error;
        },
        10000ms));
    ASSERT_NO_FATAL_FAILURE(SmallDisk::get().fill());
    ASSERT_TRUE(program.waitForFinished(15000)) << "the failure ends the recording before its 30 s";
    EXPECT_LT(Clock::now() - started, 20s);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);

    const QByteArray printed = program.readAllStandardOutput();
    const QJsonObject summary = QJsonDocument::fromJson(printed).object();
    ASSERT_FALSE(summary.isEmpty()) << printed.toStdString() << program.readAllStandardError().toStdString();
    const QString error = summary.value("error").toString();
    EXPECT_TRUE(error.startsWith("Errore di scrittura: ")) << error.toStdString();
    EXPECT_EQ(summary.value("file").toString().toStdString(), output.string());
    EXPECT_EQ(summary.value("microphone").toString(), "mic1");
    // No summary file at all rather than a cut-off one: it did not fit on the full disk.
    EXPECT_FALSE(std::filesystem::exists(summaryPath)) << std::filesystem::file_size(summaryPath) << " bytes";

    const DecodedAudio decoded = decodeAudioFile(output);
    EXPECT_GT(decoded.seconds(), 0.5);
    EXPECT_GT(amplitudeAt(decoded.channels[0], decoded.frames() - 24000, 24000, 1000), 0.1);
    std::fprintf(stderr, "[ figures  ] headless: exit %d, file %.3f s playable, error \"%s\"\n",
                 program.exitCode(), decoded.seconds(), error.toStdString().c_str());
}

} // namespace

int main(int argc, char** argv) {
    // Never against a real session: only inside the sandbox the test script starts.
    if (!insideSandbox(argv[0]) || !SmallDisk::prepare(argv)) {
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    sandbox("speaker spk1 'Speaker 1'");
    sandbox("default-sink spk1");
    AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
    const int result = RUN_ALL_TESTS();
    AudioHardware::setShared(nullptr);
    Diagnostics::flush();
    return result;
}
