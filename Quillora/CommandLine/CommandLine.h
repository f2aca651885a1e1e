#pragma once

#include <QStringList>
#include <optional>

// The program's arguments, matched exactly and case-sensitively. The program path is argument 0 and is
// searched too.
namespace CommandLine {

bool has(const QStringList& arguments, const QString& option);
// The argument right after the first occurrence of `option`, taken as is even if it looks like an option;
// nullopt when the option is absent or last.
std::optional<QString> value(const QStringList& arguments, const QString& option);

// "--record" value: a finite number of seconds, else 10.
double recordSeconds(const QStringList& arguments);
// "--cycles" value: a decimal integer with an optional sign and nothing around it, else 1.
long long cycles(const QStringList& arguments);

} // namespace CommandLine
