#include "Quillora/CommandLine/HeadlessRecording.h"

#include "Quillora/Services/QuitSignals.h"

#include "Platform/Audio/AudioHardware.h"
#include "Platform/Files/PrivateFiles.h"
#include "Quillora/CommandLine/CommandLine.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/Diagnostics.h"
#include "QuilloraCore/FileNaming.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>
#include <variant>

namespace {

using Clock = std::chrono::steady_clock;

// Ends a wait early on SIGINT or SIGTERM; the recording is then finished as at the end of its time.
class InterruptWatcher {
public:
    InterruptWatcher()
        : signals_([this] {
              interrupted_ = true;
              if (loop_ != nullptr) {
                  loop_->quit();
              }
          }) {}

    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool interrupted() const { return interrupted_; }

    // Runs the main loop until `deadline`, an interrupt or endWait(), whichever comes first.
    void waitUntil(Clock::time_point deadline) {
        ended_ = false;
        while (!interrupted_ && !ended_ && Clock::now() < deadline) {
            QEventLoop loop;
            loop_ = &loop;
            // At most an hour per turn: a timer's interval is an int of milliseconds.
            const auto remaining =
                std::clamp(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                           std::chrono::milliseconds(0), std::chrono::milliseconds(std::chrono::hours(1)));
            QTimer::singleShot(remaining, Qt::PreciseTimer, &loop, &QEventLoop::quit);
            loop.exec();
            loop_ = nullptr;
        }
    }

    // Ends the current wait early (the recording is already over). Main thread.
    void endWait() {
        ended_ = true;
        if (loop_ != nullptr) {
            loop_->quit();
        }
    }

private:
    QuitSignals signals_;
    QEventLoop* loop_ = nullptr;
    bool interrupted_ = false;
    bool ended_ = false;
};

// The end of a wait of `seconds` from `begin`; absurd lengths are held to about 30 years so the time
// arithmetic cannot overflow.
Clock::time_point deadlineAfter(Clock::time_point begin, double seconds) {
    constexpr double longest = 1e9;
    const double bounded = std::clamp(seconds, -longest, longest);
    return begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

// Remembers a failure the recorder reports while it runs (it has stopped by then) and ends the wait.
// A change of microphone goes to the log and to standard error: there is no window to show it in.
void watchForFailure(CallRecorder& recorder, InterruptWatcher& interrupts,
                     std::optional<std::string>& failure) {
    recorder.onEvent = [&interrupts, &failure](const CallRecorder::Event& event) {
        if (const auto* changed = std::get_if<CallRecorder::MicrophoneChanged>(&event)) {
            const std::string line = "Microfono cambiato: " + changed->name.value_or("nessuno");
            Diagnostics::log(line);
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        if (const auto* reported = std::get_if<CallRecorder::Failure>(&event); reported && !failure) {
            failure = reported->message;
            interrupts.endWait();
        }
    };
}

QString fixed(double value, int decimals) {
    return QString::asprintf("%.*f", decimals, value);
}

std::filesystem::path cycleURL(const std::filesystem::path& output, long long index) {
    return output.parent_path() / (output.stem().string() + ".ciclo" + std::to_string(index) + ".m4a");
}

// With the working folder gone the path stays relative; opening it then fails with a message of ours.
std::filesystem::path absolutePath(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute;
}

QString pathText(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

} // namespace

void HeadlessRecording::run(const QStringList& arguments) {
    const double duration = CommandLine::recordSeconds(arguments);
    std::filesystem::path output;
    if (const auto out = CommandLine::value(arguments, QStringLiteral("--out"))) {
        output = absolutePath(out->toStdString());
    } else {
        output = FileNaming::recordingURL(FileNaming::defaultDirectory(), QDateTime::currentDateTime());
    }
    std::optional<std::filesystem::path> debugDirectory;
    if (const auto folder = CommandLine::value(arguments, QStringLiteral("--debug-tracks"))) {
        debugDirectory = absolutePath(folder->toStdString());
    }
    const bool useMicrophone = CommandLine::has(arguments, QStringLiteral("--no-mic"))
                                   ? false
                                   : CallRecorder::requestMicrophoneAccessAndWait();
    const long long cycles = CommandLine::cycles(arguments);

    InterruptWatcher interrupts;
    QJsonObject summary;
    summary.insert("file", pathText(output));
    summary.insert("microphoneAllowed", useMicrophone ? "true" : "false");

    // After an interrupt no further preliminary recording is started; the final one is still made and
    // summarised, so the output has its usual shape.
    for (long long i = 1; i < cycles && !interrupts.interrupted(); ++i) {
        const QString key = QStringLiteral("ciclo%1").arg(i);
        std::optional<std::string> failure; // outlives the recorder that reports into it
        CallRecorder recorder(cycleURL(output, i), debugDirectory);
        watchForFailure(recorder, interrupts, failure);
        try {
            recorder.start(useMicrophone);
        } catch (const std::exception& error) {
            summary.insert(key, QString::fromStdString(error.what()));
            continue;
        }
        interrupts.waitUntil(deadlineAfter(Clock::now(), duration));
        const auto callbacks = recorder.callbackCount();
        const int restarts = recorder.restartCount();
        const CallRecorder::Stats stats = recorder.stop();
        summary.insert(key, failure ? QString::fromStdString(*failure)
                                    : QStringLiteral("callbacks=%1 restarts=%2 seconds=%3")
                                          .arg(callbacks)
                                          .arg(restarts)
                                          .arg(fixed(stats.seconds, 2)));
    }

    std::optional<std::string> failure;
    CallRecorder recorder(output, debugDirectory);
    watchForFailure(recorder, interrupts, failure);
    bool started = false;
    try {
        recorder.start(useMicrophone);
        started = true;
    } catch (const std::exception& error) {
        summary.insert("error", QString::fromStdString(error.what()));
    }
    if (started) {
        summary.insert("microphone", recorder.microphoneName()
                                         ? QString::fromStdString(*recorder.microphoneName())
                                         : QStringLiteral("nessuno"));
        const auto begin = Clock::now();
        interrupts.waitUntil(deadlineAfter(begin, duration));
        // The duration less what was left of it: the real time since the start, also after an interrupt.
        const double wallSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
        const uint64_t lostCycles = recorder.lostCycles();
        summary.insert("diagnostics", QString::fromStdString(recorder.diagnostics() +
                                                             " lostCycles=" + std::to_string(lostCycles) +
                                                             " " + recorder.deviceState()));
        summary.insert("lostCycles", QString::number(lostCycles));
        summary.insert("wallSeconds", fixed(wallSeconds, 2));
        summary.insert("callbacks", QString::number(recorder.callbackCount()));
        summary.insert("restarts", QString::number(recorder.restartCount()));
        const CallRecorder::Stats stats = recorder.stop();
        summary.insert("seconds", fixed(stats.seconds, 2));
        summary.insert("micPeakRMS", fixed(stats.micPeakRMS, 5));
        summary.insert("systemPeakRMS", fixed(stats.systemPeakRMS, 5));
        // Blocks lost because the writer fell behind: "0" unless the machine could not keep up.
        summary.insert("droppedBlocks", QString::number(recorder.droppedBlocks()));
        // A recording that failed on its way (a write error, a capture that could not be rebuilt) is not a
        // success: it is reported like a recording that could not start.
        if (failure) {
            summary.insert("error", QString::fromStdString(*failure));
        }
    }

    // QJsonObject keeps its keys sorted.
    QByteArray json = QJsonDocument(summary).toJson(QJsonDocument::Indented);
    while (json.endsWith('\n')) {
        json.chop(1);
    }
    // On a full disk no summary is left beside the recording rather than a cut-off one; standard output
    // still gets all of it.
    std::string ignored;
    PrivateFiles::writeFile(output.string() + ".json", std::string_view(json.constData(), json.size()),
                            ignored);
    std::fwrite(json.constData(), 1, static_cast<std::size_t>(json.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);

    const int status = summary.contains("error") ? 1 : 0;
    Diagnostics::flush();
    AudioHardware::setShared(nullptr); // disconnects from the audio server before the process ends
    std::exit(status);
}
