// Call detection against a real, private PipeWire + WirePlumber + pipewire-pulse (scripts/audio-sandbox.sh
// run): native and PulseAudio clients recording the microphone are reported under their identifiers;
// monitor recorders, the sound server's own loopbacks and our own capture are not. (What the application
// makes of them, and when, is the model's tests' business.)

#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CallRecorder.h"

#include "SandboxSupport.h"
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// parecord on the default microphone, recording into the sandbox folder, in the sandbox's environment
// plus `environment` (NAME=VALUE); stopped and reaped when the object goes.
std::unique_ptr<QProcess> pulseRecorder(const QString& file, QStringList arguments,
                                        const QStringList& environment = {}) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const QString& variable : environment) {
        variables.insert(variable.section('=', 0, 0), variable.section('=', 1));
    }
    process->setProcessEnvironment(variables);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(QStringLiteral("parecord"),
                   arguments << QString::fromStdString(sandboxDir()) + "/" + file);
    EXPECT_TRUE(process->waitForStarted());
    return process;
}

// The pid of a daemon the sandbox started, from its list of the processes it started.
pid_t sandboxDaemon(const std::string& name) {
    return std::atoi(
        shell("awk '$2 == \"daemon\" && $3 == \"" + name + "\" { print $1 }' " + sandboxDir() + "/pids")
            .c_str());
}

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

} // namespace

// Everyone at once: native and PulseAudio recorders of the microphone, a monitor recorder, a loopback inside
// pipewire-pulse and our own capture.
TEST(CallDetection, NamesTheMicrophoneRecordersAndLeavesOutMonitorsLoopbacksAndOurOwnCapture) {
    ASSERT_TRUE(waitUntil([] { return callApps().empty(); })) << describe(microphoneUsers());
    // Our own recording of the microphone, as the application makes it.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    CallRecorder recorder(std::filesystem::path(folder.path().toStdString()) / "own.m4a", std::nullopt);
    ASSERT_NO_THROW(recorder.start(true));
    ASSERT_EQ(recorder.microphoneName(), std::optional<std::string>("mic1"));

    const SandboxProcess monitor("record-monitor spk1 " + sandboxDir() + "/monitor.wav");
    const std::string module = shell("pactl load-module module-loopback source=mic1 sink=spk1");
    ASSERT_FALSE(module.empty());
    const SandboxProcess native("record-mic mic1 " + sandboxDir() + "/native.wav");
    // A PulseAudio client with only a name: libpulse also reports the executable ("pacat", which parecord
    // is a link to), and the executable comes first.
    const auto named = pulseRecorder("named.wav", {"--client-name=Softphone"});
    const auto namedPid = static_cast<pid_t>(named->processId());
    // One that states an application id, as sandboxed and well-behaved applications do.
    const auto identified = pulseRecorder("identified.wav", {"--client-name=Softphone"},
                                          {"PULSE_PROP=application.id=org.example.Softphone"});
    const auto identifiedPid = static_cast<pid_t>(identified->processId());

    const pid_t server = sandboxDaemon("pipewire-pulse");
    ASSERT_GT(server, 0);
    std::map<int32_t, std::string> users;
    const bool settled = waitUntil([&] {
        users = microphoneUsers();
        return users.contains(native.pid()) && users.contains(namedPid) && users.contains(identifiedPid) &&
               users.contains(server) && listsProcess(monitor.pid());
    });
    ASSERT_TRUE(settled) << describe(users);
    // pw-record is the pw-cat executable under another name.
    EXPECT_TRUE(hasUser(users, native.pid(), "pw-cat")) << describe(users);
    EXPECT_TRUE(hasUser(users, namedPid, "pacat")) << describe(users);
    EXPECT_TRUE(hasUser(users, identifiedPid, "org.example.Softphone")) << describe(users);
    // The loopback's capture stream does use the microphone, under the server's pid (which is not the
    // PulseAudio clients' pid): the exclusion table leaves it out. The monitor recorder has a capture
    // stream, but not of a microphone. The backend hides our own nodes: the pid filter is not what keeps
    // us out.
    EXPECT_EQ(users.at(server), "pipewire") << describe(users);
    EXPECT_FALSE(users.contains(monitor.pid())) << describe(users);
    EXPECT_FALSE(users.contains(getpid())) << describe(users);
    // Recording tools (pw-record, parecord) are never offered as calls.
    EXPECT_EQ(callApps(), std::vector<std::string>{"org.example.Softphone"}) << describe(users);

    // Gone as soon as it ends.
    named->terminate();
    identified->terminate();
    EXPECT_TRUE(waitUntil([] { return callApps().empty(); }));
    shell("pactl unload-module " + module);
    // Our capture really read the microphone (a full-scale tone) while the graph was looked at.
    const CallRecorder::Stats stats = recorder.stop();
    EXPECT_TRUE(stats.hadMicrophone);
    EXPECT_GT(stats.micPeakRMS, 0.1f);
}

int main(int argc, char** argv) {
    // PulseAudio clients must reach the sandbox's pipewire-pulse, and only it.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || access((std::string(runtime) + "/pulse/native").c_str(), F_OK) != 0) {
        std::fprintf(stderr, "the sandbox runs without pipewire-pulse: start it without --no-pulse\n");
        return 1;
    }
    std::unique_ptr<SandboxProcess> microphone;
    return runInsideSandbox(
        argc, argv,
        [&] {
            sandbox("speaker spk1 'Speaker 1'");
            sandbox("default-sink spk1");
            microphone = std::make_unique<SandboxProcess>("mic mic1 440");
            sandbox("default-source mic1");
            AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
        },
        [&] {
            AudioHardware::setShared(nullptr);
            microphone.reset();
        });
}
