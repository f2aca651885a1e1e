#include "QuilloraCore/CallRecorder.h"

#include "Platform/Audio/ClockContinuity.h"
#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/Diagnostics.h"
#include "QuilloraCore/SerialQueue.h"
#include "QuilloraCore/SystemAudioTap.h"
#include "QuilloraCore/TrackWriter.h"
#include "QuilloraCore/VoiceLeveler.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <semaphore>
#include <span>
#include <thread>

#include <QJsonValue>
#include <QString>
#include <cmath>
#include <limits>

namespace {

const QString micPeakRMSKey = QStringLiteral("micPeakRMS");
const QString systemPeakRMSKey = QStringLiteral("systemPeakRMS");
const QString secondsKey = QStringLiteral("seconds");
const QString hadMicrophoneKey = QStringLiteral("hadMicrophone");

std::optional<double> number(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isDouble()) {
        return std::nullopt;
    }
    return value.toDouble();
}

// A finite number that does not fit a float is refused rather than turned into infinity.
std::optional<float> singlePrecision(const QJsonObject& object, const QString& key) {
    const auto value = number(object, key);
    if (!value || (std::isfinite(*value) && std::fabs(*value) > std::numeric_limits<float>::max())) {
        return std::nullopt;
    }
    return static_cast<float>(*value);
}

} // namespace

QJsonObject CallRecorder::Stats::toJson() const {
    QJsonObject object;
    object.insert(micPeakRMSKey, static_cast<double>(micPeakRMS));
    object.insert(systemPeakRMSKey, static_cast<double>(systemPeakRMS));
    object.insert(secondsKey, seconds);
    object.insert(hadMicrophoneKey, hadMicrophone);
    return object;
}

std::optional<CallRecorder::Stats> CallRecorder::Stats::fromJson(const QJsonObject& object) {
    const auto micPeak = singlePrecision(object, micPeakRMSKey);
    const auto systemPeak = singlePrecision(object, systemPeakRMSKey);
    const auto secondsValue = number(object, secondsKey);
    const QJsonValue hadMic = object.value(hadMicrophoneKey);
    if (!micPeak || !systemPeak || !secondsValue || !hadMic.isBool()) {
        return std::nullopt;
    }
    Stats stats;
    stats.micPeakRMS = *micPeak;
    stats.systemPeakRMS = *systemPeak;
    stats.seconds = *secondsValue;
    stats.hadMicrophone = hadMic.toBool();
    return stats;
}

// ---- the capture callback's routing ----

bool CaptureRouting::route(const AudioBufferList& input, BlockRing& ring, double cycleRate) const noexcept {
    std::array<BlockRing::ChannelSource, BlockRing::maxChannels> mic;
    std::array<BlockRing::ChannelSource, BlockRing::maxChannels> system;
    std::size_t micCount = 0;
    std::size_t systemCount = 0;
    uint32_t frameCount = 0;
    const AudioBuffer* buffers = &input.mBuffers[0];
    // The stream index advances for every buffer, skipped ones included.
    for (uint32_t stream = 0; stream < input.mNumberBuffers; ++stream) {
        const AudioBuffer& buffer = buffers[stream];
        if (buffer.mData == nullptr || buffer.mNumberChannels == 0) {
            continue;
        }
        const uint32_t channels = buffer.mNumberChannels;
        const uint64_t bytesPerFrame = uint64_t{channels} * 4;
        const auto frames = buffer.mDataByteSize >= bytesPerFrame
                                ? static_cast<uint32_t>(buffer.mDataByteSize / bytesPerFrame)
                                : 0u;
        frameCount = std::max(frameCount, frames);
        const bool isLeading = stream < leadingStreamCount;
        if (isLeading && !leadingStreamsAreMicrophone) {
            continue; // an output device's own input (a headset): not what we record
        }
        auto& list = isLeading ? mic : system;
        auto& count = isLeading ? micCount : systemCount;
        const auto* samples = static_cast<const float*>(buffer.mData);
        for (uint32_t c = 0; c < channels && count < list.size(); ++c) {
            list[count++] = {samples + c, channels, frames};
        }
    }
    if (frameCount < 1) {
        return false;
    }
    const double rate = cycleRate > 0 ? cycleRate : sampleRate;
    return ring.push(static_cast<int>(frameCount), rate, std::span(mic.data(), micCount),
                     std::span(system.data(), systemCount));
}

// ---- the recorder ----

namespace {

// How far the writer may fall behind before blocks are lost, whatever the channel layout. The ring is
// sized for the capture's channels at its rate (at least 48 kHz, should the graph speed up later) and for
// blocks down to 128 frames, the smallest quantum a low-latency desktop uses.
constexpr double ringSeconds = 10;
constexpr double ringMinimumRate = 48000;
constexpr uint32_t ringSmallestBlock = 128;

// The writer is woken once per batch of blocks rather than for every block: encoding a few blocks in a
// row costs less than waking for each, and 80 ms keeps the level meter (read every 100 ms) current.
constexpr std::chrono::milliseconds writerBatch{80};

// Blocks lost while the writer is behind are logged as soon as the writer sees them, then at most once
// a second while it lasts.
constexpr std::chrono::seconds dropReportInterval{1};

const AudioObjectPropertyAddress defaultInputAddress{kAudioHardwarePropertyDefaultInputDevice,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};

// Shortest text that reads back as the same double, always with a fractional part: 48000.0, 44100.5.
std::string decimalText(double value) {
    char text[64];
    const auto result = std::to_chars(std::begin(text), std::end(text), value);
    std::string out(text, result.ptr);
    if (out.find_first_of(".eEn") == std::string::npos) { // "n": nan and inf stay as they are
        out += ".0";
    }
    return out;
}

double nominalSampleRate(AudioObjectID device) {
    try {
        return CoreAudio::value<double>(device, kAudioDevicePropertyNominalSampleRate,
                                        kAudioObjectPropertyScopeGlobal, 0.0);
    } catch (const CoreAudioError&) {
        return 0;
    }
}

std::string tapFormatText(const std::optional<AudioStreamBasicDescription>& format) {
    if (!format) {
        return "?";
    }
    return decimalText(format->mSampleRate) + "Hz " + std::to_string(format->mChannelsPerFrame) + "ch";
}

std::string streamListText(const std::vector<int>& streams) {
    std::string text = "[";
    for (std::size_t i = 0; i < streams.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(streams[i]);
    }
    return text + "]";
}

// The frames in a callback's buffer list: the longest of its buffers.
uint32_t frameCount(const AudioBufferList& list) noexcept {
    uint32_t frames = 0;
    for (uint32_t i = 0; i < list.mNumberBuffers; ++i) {
        const AudioBuffer& buffer = (&list.mBuffers[0])[i];
        if (buffer.mNumberChannels > 0) {
            frames = std::max(frames, buffer.mDataByteSize / (buffer.mNumberChannels * 4));
        }
    }
    return frames;
}

// A number for the log with a dot and `decimals` decimals, whatever the locale.
std::string fixedText(double value, int decimals) {
    char text[64];
    const auto result =
        std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

uint32_t deviceStateValue(AudioObjectID device, AudioObjectPropertySelector selector) {
    try {
        return CoreAudio::value<uint32_t>(device, selector, kAudioObjectPropertyScopeGlobal, 0u);
    } catch (const CoreAudioError&) {
        return 99;
    }
}

} // namespace

CallRecorder::CallRecorder(std::filesystem::path outputURL,
                           std::optional<std::filesystem::path> debugDirectory)
    : outputURL_(std::move(outputURL)), callbackCounter_(std::make_shared<Counter>()),
      lostCycles_(std::make_shared<LostCycles>()), debugDirectory_(std::move(debugDirectory)),
      writerQueue_(std::make_unique<SerialQueue>("com.tandrevel.quillora.writer")),
      meter_(std::make_shared<LevelMeter>()), pending_(std::make_unique<BlockRing::Block>()) {
    writerQueue_->setDoorbellHandler([this] { drainBlocks(); });
}

CallRecorder::~CallRecorder() {
    onEvent = nullptr; // nothing is reported from a recorder that is going away
    stop();
    writerQueue_.reset(); // runs what is still queued, then joins the worker, before the rest goes
}

void CallRecorder::requestMicrophoneAccess(std::function<void(bool granted)> completion) {
    AudioHardware& hardware = AudioHardware::shared();
    switch (hardware.authorizationStatus()) {
    case AVAuthorizationStatusAuthorized:
        completion(true);
        return;
    case AVAuthorizationStatusNotDetermined:
        hardware.requestAccess(std::move(completion));
        return;
    default:
        completion(false);
        return;
    }
}

bool CallRecorder::requestMicrophoneAccessAndWait() {
    struct Answer {
        std::binary_semaphore ready{0};
        std::atomic<bool> granted{false};
    };
    auto answer = std::make_shared<Answer>();
    std::thread([answer] {
        requestMicrophoneAccess([answer](bool granted) {
            answer->granted = granted;
            answer->ready.release();
        });
    }).detach();
    answer->ready.acquire();
    return answer->granted;
}

int64_t CallRecorder::callbackCount() const {
    return callbackCounter_->count();
}

uint64_t CallRecorder::droppedBlocks() const {
    return droppedEarlier_ + (blocks_ ? blocks_->droppedBlocks() : 0);
}

// Main thread, while no capture runs. A ring too small for the new capture is replaced on the writer
// queue once the writer has taken everything from it.
void CallRecorder::provideRing(double sampleRate) {
    std::size_t channels = 0;
    for (const int count : aggregate_->streamChannels()) {
        channels += static_cast<std::size_t>(std::max(count, 0));
    }
    channels = std::min(channels, 2 * BlockRing::maxChannels);
    const std::size_t bytes =
        BlockRing::bytesFor(ringSeconds, std::max(sampleRate, ringMinimumRate), channels, ringSmallestBlock);
    if (blocks_ && blocks_->capacityBytes() >= bytes) {
        return;
    }
    auto ring = std::make_shared<BlockRing>(bytes);
    writerQueue_->sync([&] {
        drainBlocks();
        if (blocks_) {
            droppedEarlier_ += blocks_->droppedBlocks();
        }
        blocks_ = std::move(ring);
    });
}

void CallRecorder::waitForWriter() {
    writerQueue_->sync([this] { drainBlocks(); });
}

std::string CallRecorder::deviceState() const {
    if (!aggregate_) {
        return "nessun dispositivo";
    }
    const AudioObjectID device = aggregate_->deviceID();
    return "running=" + std::to_string(deviceStateValue(device, kAudioDevicePropertyDeviceIsRunning)) +
           " alive=" + std::to_string(deviceStateValue(device, kAudioDevicePropertyDeviceIsAlive)) +
           " proc=" + (procID_ != 0 ? "true" : "false");
}

void CallRecorder::start(bool useMicrophone) {
    if (isRunning_) {
        return;
    }
    writer_ = std::make_unique<TrackWriter>(outputURL_, debugDirectory_, meter_);
    try {
        tap_ = std::make_unique<SystemAudioTap>();
        startCapture(useMicrophone);
    } catch (...) {
        teardownCapture();
        if (tap_) {
            AudioHardware::shared().destroyProcessTap(tap_->tapID());
            tap_.reset();
        }
        writerQueue_->sync([this] { closeWriter(); });
        throw;
    }
    isRunning_ = true;
    usesMicrophone_ = useMicrophone;
    if (useMicrophone) {
        listenForInputChanges();
    }
    startWatchdog();
}

void CallRecorder::startCapture(bool useMicrophone) {
    if (!tap_) {
        return;
    }
    std::optional<AudioObjectID> microphone;
    if (useMicrophone) {
        try {
            const auto input =
                CoreAudio::value<uint32_t>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice,
                                           kAudioObjectPropertyScopeGlobal, 0u);
            if (input != 0) {
                microphone = input;
            }
        } catch (const CoreAudioError&) {
            // no default input: record without a microphone
        }
    }

    aggregate_ = std::make_unique<AggregateDevice>(*tap_, microphone);
    microphoneName_ = aggregate_->micName();

    diagnostics_ = "streams=" + streamListText(aggregate_->streamChannels()) +
                   " leading=" + std::to_string(aggregate_->leadingStreamCount()) +
                   " mic=" + (aggregate_->leadingStreamsAreMicrophone() ? "true" : "false") +
                   " rate=" + decimalText(nominalSampleRate(aggregate_->deviceID())) +
                   " tapFormat=" + tapFormatText(tap_->format());

    const auto startTime = std::chrono::steady_clock::now();
    Diagnostics::log("Cattura avviata: " + diagnostics_);
    const double sampleRate = nominalSampleRate(aggregate_->deviceID());
    provideRing(sampleRate);

    const CaptureRouting routing{static_cast<uint32_t>(aggregate_->leadingStreamCount()),
                                 aggregate_->leadingStreamsAreMicrophone(), sampleRate};
    lostRate_ = sampleRate;
    AudioDeviceIOBlock block = [counter = callbackCounter_, blocks = blocks_, queue = writerQueue_.get(),
                                lost = lostCycles_, timeline = ClockContinuity(), startTime, routing,
                                lastRing = std::chrono::steady_clock::time_point{}](
                                   const AudioTimeStamp*, const AudioBufferList* input,
                                   const AudioTimeStamp* inputTime, AudioBufferList*,
                                   const AudioTimeStamp*) mutable {
        // The device's sample time runs on through cycles that never reached us: a jump is audio lost.
        if (input != nullptr && inputTime != nullptr && inputTime->mSampleTime >= 0) {
            const uint32_t frames = frameCount(*input);
            const auto at = static_cast<uint64_t>(std::llround(inputTime->mSampleTime));
            if (const uint64_t skipped = timeline.advance(0, at, frames); skipped > 0 && frames > 0) {
                lost->add(skipped, std::max<uint64_t>(1, (skipped + frames / 2) / frames),
                          inputTime->mSampleTime);
            }
        }
        if (counter->increment() == 1) {
            // The one line allowed to format and allocate here: it happens once per recording.
            const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - startTime;
            Diagnostics::log("Primo blocco audio dopo " + Diagnostics::fixed(waited.count(), 3) + " s");
        }
        const double cycleRate = inputTime != nullptr ? inputTime->mSampleRate : 0;
        if (input != nullptr && routing.route(*input, *blocks, cycleRate)) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastRing >= writerBatch) {
                lastRing = now;
                queue->ringDoorbell();
            }
        }
    };

    AudioHardware& hardware = AudioHardware::shared();
    AudioDeviceIOProcID procID = 0;
    OSStatus status = hardware.createIOProcIDWithBlock(aggregate_->deviceID(), std::move(block), &procID);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Creazione della callback audio", status);
    }
    procID_ = procID;
    status = hardware.deviceStart(aggregate_->deviceID(), procID_);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Avvio della cattura audio", status);
    }
}

void CallRecorder::teardownCapture() {
    AudioHardware& hardware = AudioHardware::shared();
    if (aggregate_ && procID_ != 0) {
        hardware.deviceStop(aggregate_->deviceID(), procID_);
        hardware.destroyIOProcID(aggregate_->deviceID(), procID_);
    }
    procID_ = 0;
    if (aggregate_) {
        hardware.destroyAggregateDevice(aggregate_->deviceID());
    }
    aggregate_.reset();
}

void CallRecorder::listenForInputChanges() {
    QPointer<CallRecorder> self(this);
    AudioObjectPropertyListenerID listener = 0;
    const OSStatus status = AudioHardware::shared().addPropertyListenerBlock(
        kAudioObjectSystemObject, defaultInputAddress,
        [self](uint32_t, const AudioObjectPropertyAddress*) {
            if (self) {
                self->rebuildCapture(true);
            }
        },
        &listener);
    if (status == kAudioHardwareNoError) {
        inputListener_ = listener;
    }
}

void CallRecorder::stopListening() {
    if (inputListener_ != 0) {
        AudioHardware::shared().removePropertyListenerBlock(kAudioObjectSystemObject, defaultInputAddress,
                                                            inputListener_);
        inputListener_ = 0;
    }
}

void CallRecorder::startWatchdog() {
    lastCallbackCount_ = callbackCounter_->count();
    watchdog_ = new QTimer(this);
    watchdog_->setInterval(watchdogInterval_);
    connect(watchdog_, &QTimer::timeout, this, &CallRecorder::watchdogTick);
    watchdog_->start();
}

void CallRecorder::watchdogTick() {
    if (!isRunning_) {
        return;
    }
    logLostCycles();
    if (callbackCounter_->count() == lastCallbackCount_) {
        ++restartCount_;
        Diagnostics::log("Nessun audio da 2 s: riavvio la cattura (" + std::to_string(restartCount_) + ")");
        rebuildCapture(false);
    }
    lastCallbackCount_ = callbackCounter_->count();
}

void CallRecorder::rebuildCapture(bool notifyMicrophone) {
    if (!isRunning_) {
        return;
    }
    teardownCapture();
    try {
        startCapture(usesMicrophone_);
    } catch (const std::exception& error) {
        const std::string message = std::string("Riavvio della cattura non riuscito: ") + error.what();
        stop();
        sendEvent(Failure{message});
        return;
    }
    if (notifyMicrophone) {
        sendEvent(MicrophoneChanged{microphoneName_});
    }
}

CallRecorder::Stats CallRecorder::stop() {
    if (!stopCapture()) {
        return {};
    }
    Stats stats;
    writerQueue_->sync([&] { stats = closeWriter(); });
    logTotalDrops();
    return stats;
}

bool CallRecorder::stopInBackground(std::function<void(const Stats&)> done) {
    if (!stopCapture()) {
        return false;
    }
    writerQueue_->async([this, done = std::move(done)] {
        const Stats stats = closeWriter();
        // Dropped with the recorder if it goes first; its destructor has then waited for the file.
        QMetaObject::invokeMethod(
            this,
            [this, stats, done] {
                logTotalDrops();
                done(stats);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void CallRecorder::logTotalDrops() const {
    if (const uint64_t dropped = droppedBlocks(); dropped > 0) {
        Diagnostics::log("Blocchi audio persi in tutto: " + std::to_string(dropped));
    }
}

// Main thread. False when nothing was running.
bool CallRecorder::stopCapture() {
    if (!isRunning_) {
        return false;
    }
    isRunning_ = false;
    if (watchdog_ != nullptr) {
        watchdog_->stop();
        watchdog_->deleteLater(); // stop() may run inside the timer's own tick
        watchdog_ = nullptr;
    }
    stopListening();
    teardownCapture();
    if (tap_) {
        AudioHardware::shared().destroyProcessTap(tap_->tapID());
        tap_.reset();
    }
    logLostCycles();
    return true;
}

// Main thread: one line for every hole found since the last call, with its length.
void CallRecorder::logLostCycles() {
    const uint64_t holes = lostCycles_->holes();
    if (holes == loggedHoles_) {
        return;
    }
    const uint64_t frames = lostCycles_->frames() - loggedFrames_;
    const double rate = lostRate_ > 0 ? lostRate_ : 48000.0;
    std::string line;
    if (holes - loggedHoles_ == 1) {
        line = "Audio perso nel grafo: " + std::to_string(frames) + " campioni (" +
               fixedText(frames / rate, 3) + " s) a " + fixedText(lostCycles_->lastAt() / rate, 3) +
               " s dall'avvio della cattura";
    } else {
        line = "Audio perso nel grafo: " + std::to_string(holes - loggedHoles_) + " interruzioni, " +
               std::to_string(frames) + " campioni (" + fixedText(frames / rate, 3) + " s) in tutto";
    }
    Diagnostics::log(line + "; cicli persi finora: " + std::to_string(lostCycles_->cycles()));
    loggedHoles_ = holes;
    loggedFrames_ += frames;
}

// Writer queue. Every block captured before this point is still in the ring and gets written first.
CallRecorder::Stats CallRecorder::closeWriter() {
    drainBlocks();
    if (!writer_) {
        return {};
    }
    const Stats stats = writer_->stats();
    writer_.reset(); // finishes the recording and the debug tracks
    return stats;
}

// Writer queue.
void CallRecorder::drainBlocks() {
    if (!blocks_) {
        return;
    }
    while (blocks_->pop(*pending_)) {
        if (!writer_ || failed_) {
            continue;
        }
        try {
            writer_->write(pending_->mic, pending_->system, pending_->frameCount, pending_->sampleRate);
        } catch (const std::exception& error) {
            failed_ = true;
            reportWriteFailure(std::string("Errore di scrittura: ") + error.what());
        }
    }
    reportDrops();
}

// Writer queue.
void CallRecorder::reportDrops() {
    const uint64_t dropped = droppedEarlier_ + blocks_->droppedBlocks();
    const auto now = std::chrono::steady_clock::now();
    if (dropped == reportedDrops_ || (reportedDrops_ > 0 && now - lastDropReport_ < dropReportInterval)) {
        return;
    }
    reportedDrops_ = dropped;
    lastDropReport_ = now;
    Diagnostics::log("Blocchi audio persi (scrittura in ritardo): " + std::to_string(dropped));
}

// Writer queue: the stop and the event happen on the main thread.
void CallRecorder::reportWriteFailure(const std::string& message) {
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            stop();
            sendEvent(Failure{message});
        },
        Qt::QueuedConnection);
}

void CallRecorder::sendEvent(const Event& event) {
    if (auto handler = onEvent) { // a copy: the handler may replace or drop the recorder's callback
        handler(event);
    }
}
