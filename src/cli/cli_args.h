// A small argument reader for the subcommands: positional arguments, "--flag" switches and
// "--option VALUE" (or "--option=VALUE") values, with the usage errors in words.
#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

class TCliArgs {
public:
    // Reads `args` knowing which options take a value and which are switches. Anything
    // else starting with "--" is a usage error. "--" ends the options.
    TCliArgs(const QStringList& args, const QSet<QString>& valueOptions,
             const QSet<QString>& switches);

    // The first usage error, or empty.
    const QString& Error() const { return m_error; }
    bool Has(const QString& option) const {
        return m_switches.contains(option) || m_values.contains(option);
    }
    std::optional<QString> Value(const QString& option) const;
    const QStringList& Positional() const { return m_positional; }

private:
    QString m_error;
    QStringList m_positional;
    QSet<QString> m_switches;
    QMap<QString, QString> m_values;
};

// Parses a byte count: a plain number, or one with a K or M suffix (1024-based, either
// case). None for anything else, a negative number or an overflow.
std::optional<qint64> ParseByteCount(const QString& text);

// True when the arguments ask for help ("--help" or "-h" anywhere before "--"); the
// usage is then printed to standard output.
bool PrintHelpIfAsked(const QStringList& args, const char* usage);

// Prints "quiva NAME: MESSAGE" and the command's usage to stderr; returns kExitUsage.
int UsageError(const char* name, const QString& message, const char* usage);
