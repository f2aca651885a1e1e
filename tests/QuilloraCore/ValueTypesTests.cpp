#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/CoreAudioHelpers.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonValue>

namespace {

TEST(Stats, jsonRoundTripsThroughTextAndRefusesMissingKeysAndWrongTypes) {
    CallRecorder::Stats stats;
    stats.micPeakRMS = 0.123456789f; // not exactly representable in decimal
    stats.systemPeakRMS = 0.3f;
    stats.seconds = 3723.25;
    stats.hadMicrophone = true;
    const QJsonObject good = stats.toJson();
    const QByteArray text = QJsonDocument(good).toJson(QJsonDocument::Compact);
    EXPECT_EQ(CallRecorder::Stats::fromJson(QJsonDocument::fromJson(text).object()), stats);
    EXPECT_EQ(CallRecorder::Stats::fromJson(CallRecorder::Stats{}.toJson()), CallRecorder::Stats{});

    for (const QString& key : good.keys()) {
        QJsonObject missing = good;
        missing.remove(key);
        EXPECT_FALSE(CallRecorder::Stats::fromJson(missing).has_value()) << key.toStdString();
    }
    const std::pair<QString, QJsonValue> wrong[] = {
        {"micPeakRMS", QJsonValue("0.5")}, {"systemPeakRMS", QJsonValue(true)}, {"seconds", QJsonValue::Null},
        {"hadMicrophone", QJsonValue(1)},  {"micPeakRMS", QJsonValue(1e300)}, // does not fit a float
    };
    for (const auto& [key, value] : wrong) {
        QJsonObject object = good;
        object.insert(key, value);
        EXPECT_FALSE(CallRecorder::Stats::fromJson(object).has_value()) << key.toStdString();
    }
    QJsonObject integral = good; // integers are numbers too, and extra keys are ignored
    integral.insert("seconds", 12);
    integral.insert("other", "x");
    EXPECT_EQ(CallRecorder::Stats::fromJson(integral).value_or(CallRecorder::Stats{}).seconds, 12.0);
}

TEST(CoreAudioError, describesTheStatusAsNumberAndPrintableFourCharacterCode) {
    const CoreAudioError error("Preparazione del buffer audio", 0x77686174);
    EXPECT_STREQ(error.what(), "Preparazione del buffer audio non riuscito (OSStatus 2003329396 'what')");
    EXPECT_EQ(CoreAudioError("Ricerca del processo", -50).errorDescription(),
              "Ricerca del processo non riuscito (OSStatus -50 )");
    EXPECT_EQ(CoreAudioError::fourCC(0x20202020), "'    '"); // 32 is the lowest printable byte
    EXPECT_EQ(CoreAudioError::fourCC(0x7E7E7E7E), "'~~~~'"); // 126 the highest
    EXPECT_EQ(CoreAudioError::fourCC(0x7F414141), "");
    EXPECT_EQ(CoreAudioError::fourCC(0x4141411F), "");
}

} // namespace
