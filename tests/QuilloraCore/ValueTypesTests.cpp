#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/CoreAudioHelpers.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

namespace {

CallRecorder::Stats sampleStats() {
    CallRecorder::Stats stats;
    stats.micPeakRMS = 0.123456789f; // not exactly representable in decimal: tests the round trip
    stats.systemPeakRMS = 0.3f;
    stats.seconds = 3723.25;
    stats.hadMicrophone = true;
    return stats;
}

} // namespace

TEST(Stats, jsonUsesTheFieldNamesAndRoundTripsThroughText) {
    const CallRecorder::Stats stats = sampleStats();
    const QJsonObject object = stats.toJson();
    QStringList keys = object.keys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"hadMicrophone", "micPeakRMS", "seconds", "systemPeakRMS"}));
    EXPECT_TRUE(object.value("hadMicrophone").isBool());
    EXPECT_DOUBLE_EQ(object.value("seconds").toDouble(), 3723.25);

    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const auto decoded = CallRecorder::Stats::fromJson(QJsonDocument::fromJson(text).object());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, stats);

    const auto zero = CallRecorder::Stats::fromJson(CallRecorder::Stats{}.toJson());
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(*zero, CallRecorder::Stats{});
}

TEST(Stats, fromJsonRejectsMissingKeysAndWrongTypes) {
    const QJsonObject good = sampleStats().toJson();
    for (const QString& key : good.keys()) {
        QJsonObject missing = good;
        missing.remove(key);
        EXPECT_FALSE(CallRecorder::Stats::fromJson(missing).has_value()) << key.toStdString();
    }
    const std::pair<QString, QJsonValue> wrong[] = {
        {"micPeakRMS", QJsonValue("0.5")}, {"systemPeakRMS", QJsonValue(true)},
        {"seconds", QJsonValue::Null},     {"seconds", QJsonValue(QJsonObject{})},
        {"hadMicrophone", QJsonValue(1)},  {"hadMicrophone", QJsonValue("true")},
        {"micPeakRMS", QJsonValue(1e300)}, // does not fit a float
    };
    for (const auto& [key, value] : wrong) {
        QJsonObject object = good;
        object.insert(key, value);
        EXPECT_FALSE(CallRecorder::Stats::fromJson(object).has_value()) << key.toStdString();
    }
    // Integers are numbers too, and extra keys are ignored.
    QJsonObject integral = good;
    integral.insert("seconds", 12);
    integral.insert("other", "x");
    const auto decoded = CallRecorder::Stats::fromJson(integral);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->seconds, 12.0);
}

TEST(CoreAudioError, describesTheStatusAsNumberAndFourCharacterCode) {
    const CoreAudioError unspecified("Preparazione del buffer audio", 0x77686174);
    EXPECT_EQ(unspecified.errorDescription(),
              "Preparazione del buffer audio non riuscito (OSStatus 2003329396 'what')");
    EXPECT_STREQ(unspecified.what(), unspecified.errorDescription().c_str());
    EXPECT_EQ(unspecified.operation(), "Preparazione del buffer audio");
    EXPECT_EQ(unspecified.status(), 2003329396);

    // -50 is 0xFFFFFFCE: not printable, so the code is empty but the space before it stays.
    const CoreAudioError parameter("Ricerca del processo", -50);
    EXPECT_EQ(parameter.errorDescription(), "Ricerca del processo non riuscito (OSStatus -50 )");
}

TEST(CoreAudioError, fourCharacterCodeNeedsAllFourBytesPrintable) {
    EXPECT_EQ(CoreAudioError::fourCC(0x64496E20), "'dIn '");
    EXPECT_EQ(CoreAudioError::fourCC(0x20202020), "'    '"); // 32 is the lowest printable byte
    EXPECT_EQ(CoreAudioError::fourCC(0x7E7E7E7E), "'~~~~'"); // 126 the highest
    EXPECT_EQ(CoreAudioError::fourCC(0x7F414141), "");       // DEL in the top byte
    EXPECT_EQ(CoreAudioError::fourCC(0x4141411F), "");       // control byte at the bottom
    EXPECT_EQ(CoreAudioError::fourCC(0), "");
}
