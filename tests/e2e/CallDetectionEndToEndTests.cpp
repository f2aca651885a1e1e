// Call detection against a real, private PipeWire + WirePlumber + pipewire-pulse (scripts/audio-sandbox.sh
// run): native and PulseAudio clients recording the microphone are reported under their identifiers;
// monitor recorders, the sound server's own loopbacks and our own capture are not; and the application
// model, on the real clock, offers to record such a client 4 to 6 s after it starts and withdraws the offer
// once it ends.

#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "Quillora/Model/RecorderModel.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/Diagnostics.h"

#include "SandboxSupport.h"
#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ----- the sandbox -----

std::string sandboxDir() {
    return std::getenv("QUILLORA_SANDBOX_DIR");
}

// A process started through the sandbox script; stopped when the object goes.
class SandboxProcess {
public:
    explicit SandboxProcess(const std::string& arguments)
        : pid_(static_cast<pid_t>(std::atoi(sandbox(arguments).c_str()))) {
        EXPECT_GT(pid_, 0) << arguments;
    }
    ~SandboxProcess() { stop(); }
    SandboxProcess(const SandboxProcess&) = delete;
    SandboxProcess& operator=(const SandboxProcess&) = delete;

    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ > 0) {
            sandbox("kill " + std::to_string(pid_));
            pid_ = 0;
        }
    }

private:
    pid_t pid_;
};

// A client this test starts itself (the sandbox has no command for PulseAudio clients): a child process
// in the sandbox's environment plus `extraEnvironment`, stopped and reaped when the object goes.
class Child {
public:
    Child(std::vector<std::string> arguments, std::vector<std::string> extraEnvironment = {}) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            environment.emplace_back(*entry);
        }
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        EXPECT_EQ(posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0) << argv[0];
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

private:
    pid_t pid_ = 0;
};

// parecord on the default microphone, recording into the sandbox folder.
std::unique_ptr<Child> pulseRecorder(const std::string& file, std::vector<std::string> arguments,
                                     std::vector<std::string> environment = {}) {
    std::vector<std::string> command{"parecord"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back(sandboxDir() + "/" + file);
    return std::make_unique<Child>(std::move(command), std::move(environment));
}

// The pid of a daemon the sandbox started, from its process list.
pid_t sandboxDaemon(const std::string& name) {
    std::ifstream pids(sandboxDir() + "/pids");
    std::string line;
    while (std::getline(pids, line)) {
        std::istringstream fields(line);
        pid_t pid = 0;
        std::string kind;
        std::string daemon;
        if (fields >> pid >> kind >> daemon && kind == "daemon" && daemon == name) {
            return pid;
        }
    }
    return 0;
}

// ----- what the call watch sees -----

// pid → identifier of every process running audio input.
std::map<int32_t, std::string> microphoneUsers() {
    std::map<int32_t, std::string> users;
    for (const MicrophoneClient& client : CallDetector::microphoneClients()) {
        users[client.pid] = client.bundleID;
    }
    return users;
}

std::vector<std::string> callApps() {
    return CallDetector::callApps(CallDetector::microphoneClients(), static_cast<int32_t>(getpid()));
}

std::string describe(const std::map<int32_t, std::string>& users) {
    std::string text;
    for (const auto& [pid, identifier] : users) {
        text += std::to_string(pid) + "=" + identifier + " ";
    }
    return text;
}

bool hasUser(const std::map<int32_t, std::string>& users, pid_t pid, const std::string& identifier) {
    const auto found = users.find(pid);
    return found != users.end() && found->second == identifier;
}

// Whether the audio system lists `pid` among its processes with a capture stream, whatever it captures.
bool listsProcess(pid_t pid) {
    AudioHardware& hardware = AudioHardware::shared();
    const AudioObjectPropertyAddress list{kAudioHardwarePropertyProcessObjectList,
                                          kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    if (hardware.getPropertyDataSize(kAudioObjectSystemObject, list, 0, nullptr, &size) !=
        kAudioHardwareNoError) {
        return false;
    }
    std::vector<AudioObjectID> processes(size / sizeof(AudioObjectID));
    if (hardware.getPropertyData(kAudioObjectSystemObject, list, 0, nullptr, &size, processes.data()) !=
        kAudioHardwareNoError) {
        return false;
    }
    processes.resize(size / sizeof(AudioObjectID));
    const AudioObjectPropertyAddress pidAddress{kAudioProcessPropertyPID, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    return std::any_of(processes.begin(), processes.end(), [&](AudioObjectID process) {
        int32_t processPid = 0;
        uint32_t pidSize = sizeof(processPid);
        return hardware.getPropertyData(process, pidAddress, 0, nullptr, &pidSize, &processPid) ==
                   kAudioHardwareNoError &&
               processPid == pid;
    });
}

// ----- the model's seams -----

class RecordedViews final : public RecorderViews {
public:
    void showRecordingPanel() override {}
    void hideRecordingPanel() override {}
    void showNotice(const Notice& notice) override {
        notices.push_back({notice.title, Clock::now()});
        open = true;
    }
    void closeNotice() override { open = false; }
    void showDemoNotice(const Notice&) override {}
    void openFeedback(const std::optional<QString>&) override {}
    void activateApplication() override {}

    struct Shown {
        QString title;
        Clock::time_point at;
    };
    std::vector<Shown> notices;
    bool open = false;
};

// No installed applications, and nothing opened on a desktop that is not there.
class NoDesktop final : public PlatformServices {
public:
    void openLocation(const QUrl&) override {}
    void revealFile(const std::filesystem::path&) override {}
    void openSoundSettings() override {}
    void playAlertSound() override {}
    std::optional<QString> applicationName(const std::string&, int32_t) override { return std::nullopt; }
};

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

class CallDetectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test starts from a quiet graph: nothing but the microphone and the speaker.
        ASSERT_TRUE(waitUntil([] { return callApps().empty(); })) << describe(microphoneUsers());
    }
};

} // namespace

TEST_F(CallDetectionTest, NamesRecordersByTheirIdentifiersAndOffersNoneOfThePlainOnes) {
    const SandboxProcess native("record-mic mic1 " + sandboxDir() + "/native.wav");
    // A PulseAudio client with only a name: libpulse also reports the executable ("pacat", which parecord
    // is a link to), and the executable comes first.
    const auto named = pulseRecorder("named.wav", {"--client-name=Softphone"});
    // One that states an application id, as sandboxed and well-behaved applications do.
    const auto identified = pulseRecorder("identified.wav", {"--client-name=Softphone"},
                                          {"PULSE_PROP=application.id=org.example.Softphone"});

    std::map<int32_t, std::string> users;
    const bool allSeen = waitUntil([&] {
        users = microphoneUsers();
        return users.contains(native.pid()) && users.contains(named->pid()) &&
               users.contains(identified->pid());
    });
    ASSERT_TRUE(allSeen) << describe(users);
    // pw-record is the pw-cat executable under another name.
    EXPECT_TRUE(hasUser(users, native.pid(), "pw-cat")) << describe(users);
    EXPECT_TRUE(hasUser(users, named->pid(), "pacat")) << describe(users);
    EXPECT_TRUE(hasUser(users, identified->pid(), "org.example.Softphone")) << describe(users);
    // Not the server's pid: pipewire-pulse stands behind both PulseAudio clients.
    EXPECT_FALSE(users.contains(sandboxDaemon("pipewire-pulse"))) << describe(users);

    // The plain recorders use the microphone but are never calls; the application that names itself is.
    EXPECT_EQ(callApps(), std::vector<std::string>{"org.example.Softphone"}) << describe(users);

    // Gone as soon as it ends.
    identified->stop();
    EXPECT_TRUE(waitUntil([] { return callApps().empty(); }));
}

TEST_F(CallDetectionTest, LeavesOutMonitorRecordersTheServersLoopbackAndOurOwnCapture) {
    // Our own recording of the microphone, as the application makes it.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    CallRecorder recorder(std::filesystem::path(folder.path().toStdString()) / "own.m4a", std::nullopt);
    ASSERT_NO_THROW(recorder.start(true));
    ASSERT_EQ(recorder.microphoneName(), std::optional<std::string>("mic1"));

    const SandboxProcess monitor("record-monitor spk1 " + sandboxDir() + "/monitor.wav");
    // A loopback from the microphone to the speaker, running inside pipewire-pulse.
    const std::string module = shell("pactl load-module module-loopback source=mic1 sink=spk1");
    ASSERT_FALSE(module.empty());
    // A plain microphone recorder, so that every snapshot below is known to be current.
    const SandboxProcess native("record-mic mic1 " + sandboxDir() + "/native.wav");

    const pid_t server = sandboxDaemon("pipewire-pulse");
    ASSERT_GT(server, 0);
    std::map<int32_t, std::string> users;
    // The loopback's capture stream does use the microphone: it is the exclusion table that leaves it out.
    // The monitor recorder has a capture stream, but not of a microphone.
    const bool settled = waitUntil([&] {
        users = microphoneUsers();
        return users.contains(native.pid()) && users.contains(server) && listsProcess(monitor.pid());
    });
    ASSERT_TRUE(settled) << describe(users);
    EXPECT_EQ(users.at(server), "pipewire") << describe(users);
    EXPECT_FALSE(users.contains(monitor.pid())) << describe(users);
    // The backend hides our own nodes: the pid filter is not what keeps us out.
    EXPECT_FALSE(users.contains(getpid())) << describe(users);
    EXPECT_TRUE(callApps().empty()) << describe(users);

    shell("pactl unload-module " + module);
    // Our capture really read the microphone (a full-scale tone) while the graph was looked at.
    const CallRecorder::Stats stats = recorder.stop();
    EXPECT_TRUE(stats.hadMicrophone);
    EXPECT_GT(stats.micPeakRMS, 0.1f);
}

TEST_F(CallDetectionTest, ModelOffersACallAfterFourToSixSecondsAndWithdrawsItWhenTheCallEnds) {
    QSettings(QStringLiteral("Tandrevel"), QStringLiteral("Quillora")).clear();
    RecordedViews views;
    RecorderModel::Options options;
    options.services = std::make_unique<NoDesktop>(); // and the system clock
    RecorderModel model(std::move(options));
    model.setViews(&views);
    const QString title = QStringLiteral("Chiamata in corso su Softphone");
    const std::vector<std::string> softphone{"PULSE_PROP=application.id=org.example.Softphone"};

    // A client that leaves within 2 s is never offered.
    {
        const auto brief = pulseRecorder("brief.wav", {}, softphone);
        const auto briefStart = Clock::now();
        EXPECT_TRUE(
            waitUntil([] { return callApps() == std::vector<std::string>{"org.example.Softphone"}; }));
        waitUntil([] { return false; },
                  std::chrono::duration_cast<std::chrono::milliseconds>(briefStart + 2000ms - Clock::now()));
    }
    waitUntil([] { return false; }, 5000ms);
    EXPECT_TRUE(views.notices.empty());

    // One that stays is offered 4 to 6 s after it starts (a 2 s watch, a 4 s presence), plus the time the
    // client takes to open its stream.
    auto call = pulseRecorder("call.wav", {}, softphone);
    auto started = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return !views.notices.empty(); }, 8000ms));
    const double firstOffer = seconds(views.notices.back().at - started);
    std::printf("offered %.2f s after the client started\n", firstOffer);
    EXPECT_GE(firstOffer, 4.0);
    EXPECT_LE(firstOffer, 6.5);
    EXPECT_EQ(views.notices.back().title, title);
    EXPECT_EQ(model.noticeKind(), QStringLiteral("call"));

    // The call ends: the offer is withdrawn at the next watch.
    call->stop();
    const auto ended = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return model.noticeKind().isEmpty(); }, 3000ms));
    std::printf("withdrawn %.2f s after the client ended\n", seconds(Clock::now() - ended));
    EXPECT_FALSE(views.open);
    EXPECT_EQ(views.notices.size(), 1u);

    // A new call of the same application is a new presence, offered again on the same schedule.
    call = pulseRecorder("call2.wav", {}, softphone);
    started = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return views.notices.size() == 2; }, 8000ms));
    const double secondOffer = seconds(views.notices.back().at - started);
    std::printf("offered again %.2f s after the client started\n", secondOffer);
    EXPECT_GE(secondOffer, 4.0);
    EXPECT_LE(secondOffer, 6.5);
    call->stop();
    EXPECT_TRUE(waitUntil([&] { return model.noticeKind().isEmpty(); }, 3000ms));
    model.setViews(nullptr);
}

int main(int argc, char** argv) {
    // Never against a real session: only inside the sandbox the test script starts.
    if (!insideSandbox(argv[0])) {
        return 1;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // PulseAudio clients must reach the sandbox's pipewire-pulse, and only it.
    const std::string pulseSocket = std::string(runtime) + "/pulse/native";
    if (access(pulseSocket.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "the sandbox runs without pipewire-pulse: start it without --no-pulse\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    sandbox("speaker spk1 'Speaker 1'");
    sandbox("default-sink spk1");
    SandboxProcess microphone("mic mic1 440");
    sandbox("default-source mic1");
    AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
    const int result = RUN_ALL_TESTS();
    AudioHardware::setShared(nullptr);
    Diagnostics::flush();
    return result;
}
