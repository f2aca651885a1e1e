// The command-line reader. Input: the arguments separated by NUL bytes, as in /proc/<pid>/cmdline;
// argument 0 is the program path.
#include "FuzzSupport.h"
#include "Quillora/CommandLine/CommandLine.h"

#include <QRegularExpression>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

using FuzzSupport::require;

namespace {

const QStringList knownOptions{"--record",       "--cycles", "--out", "--probe",   "--no-mic",
                               "--debug-tracks", "--help",   "-h",    "--version", "--demo"};

QStringList argumentsOf(const QByteArray& input) {
    QStringList arguments;
    for (const QByteArray& piece : input.split('\0')) {
        arguments.append(QString::fromUtf8(piece));
    }
    return arguments;
}

// The argument after the first occurrence of `option`, found by hand.
std::optional<QString> expectedValue(const QStringList& arguments, const QString& option) {
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == option) {
            return i + 1 < arguments.size() ? std::optional<QString>(arguments[i + 1]) : std::nullopt;
        }
    }
    return std::nullopt;
}

void checkOption(const QStringList& arguments, const QString& option) {
    const bool present = arguments.contains(option);
    require(CommandLine::has(arguments, option) == present, "has() finds exactly the whole arguments");
    require(CommandLine::value(arguments, option) == expectedValue(arguments, option),
            "value() is the argument after the first occurrence");
}

void checkRecordSeconds(const QStringList& arguments) {
    const double seconds = CommandLine::recordSeconds(arguments);
    require(std::isfinite(seconds), "recordSeconds() is finite");
    const std::optional<QString> text = expectedValue(arguments, QStringLiteral("--record"));
    if (!text) {
        require(seconds == 10, "recordSeconds() is 10 without a value");
        return;
    }
    if (seconds != 10) {
        require(!text->isEmpty() && *text == text->trimmed(), "a number is read only from a bare number");
    }
    // A plain decimal number (optional sign, digits, point, exponent) is read as the C library reads it.
    static const QRegularExpression decimal(
        QRegularExpression::anchoredPattern(u"[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?"));
    if (text->size() <= 64 && decimal.match(*text).hasMatch()) {
        const std::string ascii = text->toStdString();
        errno = 0;
        const double expected = std::strtod(ascii.c_str(), nullptr);
        if (errno == 0 && std::isfinite(expected)) {
            require(seconds == expected, "recordSeconds() reads a decimal number exactly");
        }
    }
}

void checkCycles(const QStringList& arguments) {
    const long long cycles = CommandLine::cycles(arguments);
    const std::optional<QString> text = expectedValue(arguments, QStringLiteral("--cycles"));
    long long expected = 1;
    static const QRegularExpression integer(QRegularExpression::anchoredPattern(u"[+-]?[0-9]+"));
    if (text && integer.match(*text).hasMatch()) {
        const std::string ascii = text->toStdString();
        errno = 0;
        const long long value = std::strtoll(ascii.c_str(), nullptr, 10);
        if (errno == 0) {
            expected = value;
        }
    }
    require(cycles == expected, "cycles() is a signed decimal integer in range, else 1");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList arguments = argumentsOf(FuzzSupport::bytes(data, size));
    for (const QString& option : knownOptions) {
        checkOption(arguments, option);
    }
    // Options the program does not know, and near misses of the ones it does.
    for (qsizetype i = 0; i < std::min<qsizetype>(arguments.size(), 4); ++i) {
        checkOption(arguments, arguments[i]);
        checkOption(arguments, arguments[i].toUpper());
    }
    checkRecordSeconds(arguments);
    checkCycles(arguments);
    return 0;
}
