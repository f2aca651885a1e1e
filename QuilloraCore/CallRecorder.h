#pragma once

#include <QJsonObject>
#include <optional>

// One recording. The capture side arrives with the audio hardware layer; for now this holds the value
// types the writer and the application share.
class CallRecorder {
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
};
