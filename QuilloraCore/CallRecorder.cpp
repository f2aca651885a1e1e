#include "QuilloraCore/CallRecorder.h"

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
