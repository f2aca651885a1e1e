#pragma once

#include "Platform/Audio/AudioHardware.h"
#include "QuilloraCore/BlockRing.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

class AggregateDevice;
class LevelMeter;
class SerialQueue;
class SystemAudioTap;
class TrackWriter;

// Counts capture callbacks; the watchdog compares it between ticks. Incremented on the real-time thread.
class Counter {
public:
    // Returns the new count.
    int64_t increment() noexcept { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
    int64_t count() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    std::atomic<int64_t> count_{0};
};

// Audio of the graph that never reached the capture callback: cycles that went by between two callbacks,
// seen as a jump of the callbacks' sample time. Written on the real-time thread, read anywhere.
class LostCycles {
public:
    // One hole of `frames` frames, `cycles` cycles long, before the callback at `sampleTime`.
    void add(uint64_t frames, uint64_t cycles, double sampleTime) noexcept {
        frames_.fetch_add(frames, std::memory_order_relaxed);
        cycles_.fetch_add(cycles, std::memory_order_relaxed);
        lastFrames_.store(frames, std::memory_order_relaxed);
        lastAt_.store(sampleTime, std::memory_order_relaxed);
        holes_.fetch_add(1, std::memory_order_release);
    }
    uint64_t holes() const noexcept { return holes_.load(std::memory_order_acquire); }
    uint64_t cycles() const noexcept { return cycles_.load(std::memory_order_relaxed); }
    uint64_t frames() const noexcept { return frames_.load(std::memory_order_relaxed); }
    uint64_t lastFrames() const noexcept { return lastFrames_.load(std::memory_order_relaxed); }
    double lastAt() const noexcept { return lastAt_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> holes_{0};
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> frames_{0};
    std::atomic<uint64_t> lastFrames_{0};
    std::atomic<double> lastAt_{0};
};

// What the capture callback does with one buffer list once it has counted itself: splits it into microphone
// and system channels by stream index and copies them into the block ring. Real-time safe: no allocation,
// no lock. The values are the capture's, fixed when it starts.
struct CaptureRouting {
    uint32_t leadingStreamCount = 0;          // the first streams, which belong to the leading device
    bool leadingStreamsAreMicrophone = false; // false: the leading streams are dropped
    double sampleRate = 0;                    // the device's nominal rate at start

    // Queues one block unless no buffer holds a whole frame. False when nothing was queued (no frame, or
    // the ring was full and the block was counted as dropped). The block carries `cycleRate`, the rate of
    // the cycle that produced it, when the device gives one (> 0), else the nominal rate: a graph that
    // changes rate mid-recording must not change the recording's pitch or length.
    bool route(const AudioBufferList& input, BlockRing& ring, double cycleRate = 0) const noexcept;
};

// One recording: the output file's writer, the system-audio tap, the aggregate device with its capture
// callback, a listener on the default input device, a silence watchdog and the writer queue. Lives on the
// main thread; keeps the capture alive across device changes and silence on its own.
class CallRecorder : public QObject {
    Q_OBJECT

public:
    // End-of-recording statistics, filled by the track writer.
    struct Stats {
        float micPeakRMS = 0;    // largest block RMS of the mic downmix, before leveling
        float systemPeakRMS = 0; // largest block RMS of the call (louder of left and right)
        double seconds = 0;      // sum of frameCount / sampleRate over accepted blocks
        bool hadMicrophone = false;

        // Keys equal the field names.
        QJsonObject toJson() const;
        // nullopt when a key is missing or has the wrong type.
        static std::optional<Stats> fromJson(const QJsonObject& object);

        bool operator==(const Stats&) const = default;
    };

    // What the recorder tells the application, always on the main thread.
    struct MicrophoneChanged {
        std::optional<std::string> name;
    };
    struct Failure {
        std::string message; // Italian, shown as is
    };
    using Event = std::variant<MicrophoneChanged, Failure>;

    CallRecorder(std::filesystem::path outputURL, std::optional<std::filesystem::path> debugDirectory);
    ~CallRecorder() override;

    // Asks for microphone permission when it was never asked; `completion` gets the answer on any thread.
    static void requestMicrophoneAccess(std::function<void(bool granted)> completion);
    // Blocks the calling thread until the answer arrives. Must not be the thread the answer needs.
    static bool requestMicrophoneAccessAndWait();

    // Throws CoreAudioError, or the writer's file and media errors. Main thread.
    void start(bool useMicrophone);
    // Main thread, never on the writer queue. Idempotent.
    Stats stop();
    // Stops the capture at once and finishes the file on the writer queue, which for a long call takes
    // seconds; `done` then gets the statistics on the main thread. False (and `done` is never called) when
    // nothing was running. Destroying the recorder meanwhile waits for the file, without calling `done`.
    bool stopInBackground(std::function<void(const Stats&)> done);

    const std::filesystem::path& outputURL() const { return outputURL_; }
    std::function<void(const Event&)> onEvent;
    const std::optional<std::string>& microphoneName() const { return microphoneName_; }
    bool isRunning() const { return isRunning_; }
    const std::string& diagnostics() const { return diagnostics_; }
    int restartCount() const { return restartCount_; }
    const std::shared_ptr<LevelMeter>& meter() const { return meter_; }
    int64_t callbackCount() const;
    std::string deviceState() const;
    // Event handlers must not destroy the recorder synchronously (use deleteLater): events are sent from
    // inside the recorder's own timer and listener callbacks.

    // Graph cycles that never reached the capture callback, over the whole recording.
    uint64_t lostCycles() const { return lostCycles_->cycles(); }

    // Blocks the writer could not take because it was too far behind (never expected). Logged as soon as
    // the writer notices, and the total again at stop.
    uint64_t droppedBlocks() const;
    // Waits until every block captured so far has been handed to the writer. Main thread, never on the
    // writer queue; for tools that drive a fast simulated clock.
    void waitForWriter();

    // The watchdog's interval; tests shorten it.
    static constexpr int watchdogIntervalMs = 2000;
    void setWatchdogIntervalForTesting(int milliseconds) { watchdogInterval_ = milliseconds; }

private:
    bool stopCapture();
    void logTotalDrops() const;
    void startCapture(bool useMicrophone);
    void teardownCapture();
    void listenForInputChanges();
    void stopListening();
    void startWatchdog();
    void watchdogTick();
    void rebuildCapture(bool notifyMicrophone);
    Stats closeWriter();
    void provideRing(double sampleRate);
    void drainBlocks();
    void reportDrops();
    void reportWriteFailure(const std::string& message);
    void logLostCycles();
    void sendEvent(const Event& event);

    std::filesystem::path outputURL_;
    std::optional<std::string> microphoneName_;
    bool isRunning_ = false;
    std::string diagnostics_;
    std::shared_ptr<Counter> callbackCounter_;
    std::shared_ptr<LostCycles> lostCycles_;
    uint64_t loggedHoles_ = 0;
    uint64_t loggedFrames_ = 0;
    double lostRate_ = 0; // the capture's rate, to tell a hole's length in seconds
    std::optional<std::filesystem::path> debugDirectory_;
    std::shared_ptr<BlockRing> blocks_;
    std::unique_ptr<SerialQueue> writerQueue_;
    std::unique_ptr<TrackWriter> writer_; // writer queue only, once started
    std::unique_ptr<SystemAudioTap> tap_;
    std::unique_ptr<AggregateDevice> aggregate_;
    AudioDeviceIOProcID procID_ = 0;
    AudioObjectPropertyListenerID inputListener_ = 0;
    bool failed_ = false; // writer queue only
    QTimer* watchdog_ = nullptr;
    int64_t lastCallbackCount_ = 0;
    bool usesMicrophone_ = true;
    int restartCount_ = 0;
    std::shared_ptr<LevelMeter> meter_;
    int watchdogInterval_ = watchdogIntervalMs;
    std::unique_ptr<BlockRing::Block> pending_;            // writer queue only: reused for every block
    uint64_t droppedEarlier_ = 0;                          // in rings replaced since the start; writer queue
    uint64_t reportedDrops_ = 0;                           // writer queue only
    std::chrono::steady_clock::time_point lastDropReport_; // writer queue only
};
