// The subcommands' argument reader, with GNU getopt_long's rules: positional arguments,
// "--flag" switches, "--option VALUE" or "--option=VALUE" values, short options ("-c",
// clustered "-ct", "-aVALUE" or "-a VALUE"), "-" as an operand (standard input) and "--"
// ending the options; the usage errors in words.
#pragma once

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

class TCliArgs {
public:
    // Reads `args` knowing which options take a value and which are switches, and which
    // short letters stand for which of them (`shorts`: 'c' -> "--check"). Anything else
    // starting with "-" (other than "-" itself) is a usage error. "--" ends the options.
    TCliArgs(const QStringList& args, const QSet<QString>& valueOptions,
             const QSet<QString>& switches, const QHash<QChar, QString>& shorts = {});

    // The first usage error, or empty.
    const QString& Error() const { return m_error; }
    bool Has(const QString& option) const {
        return m_switches.contains(option) || m_values.contains(option);
    }
    std::optional<QString> Value(const QString& option) const;
    const QStringList& Positional() const { return m_positional; }

private:
    void Fail(const QString& error);

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

// Prints "quiva NAME: MESSAGE" and "Try 'quiva NAME --help' for more information." to
// stderr; returns kExitUsage.
int UsageError(const char* name, const QString& message, const char* usage = nullptr);

// The line that points a user at the help after a usage error ("Try 'quiva --help' for
// more information." without a command).
QByteArray TryHelpLine(const char* command = nullptr);

// Prints "quiva COMMAND: TEXT" on stderr (TEXT's file names as their bytes), after what
// standard output holds so far.
void CommandError(const char* command, const QString& text);
