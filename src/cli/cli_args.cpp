#include "cli/cli_args.h"

#include "cli/command.h"
#include "platform/native_name.h"

#include <cstdio>
#include <limits>

TCliArgs::TCliArgs(const QStringList& args, const QSet<QString>& valueOptions,
                   const QSet<QString>& switches, const QHash<QChar, QString>& shorts) {
    const auto take = [&](const QString& name, qsizetype& i,
                          const std::optional<QString>& attached) {
        if (valueOptions.contains(name)) {
            if (attached) {
                m_values[name] = *attached;
            } else if (i + 1 < args.size()) {
                m_values[name] = args[++i];
            } else {
                Fail(QStringLiteral("option %1 needs a value").arg(name));
            }
            return;
        }
        m_switches.insert(name);
    };
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith('-') || arg == QLatin1String("-")) {
            m_positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (arg.startsWith(QLatin1String("--"))) {
            QString name = arg;
            std::optional<QString> inlineValue;
            if (const qsizetype eq = arg.indexOf('='); eq > 0) {
                name = arg.left(eq);
                inlineValue = arg.mid(eq + 1);
            }
            if (valueOptions.contains(name) || (switches.contains(name) && !inlineValue)) {
                take(name, i, inlineValue);
            } else {
                Fail(QStringLiteral("unknown option %1").arg(arg));
            }
            continue;
        }
        // Short options: "-ct" is "-c -t"; a letter that takes a value takes the rest of
        // the word ("-asha256") or else the next argument.
        for (qsizetype at = 1; at < arg.size(); ++at) {
            const auto found = shorts.find(arg[at]);
            if (found == shorts.end()) {
                Fail(QStringLiteral("unknown option -%1").arg(arg[at]));
                break;
            }
            if (valueOptions.contains(*found) && at + 1 < arg.size()) {
                take(*found, i, arg.mid(at + 1));
                break;
            }
            take(*found, i, std::nullopt);
            if (valueOptions.contains(*found)) {
                break;
            }
        }
    }
}

void TCliArgs::Fail(const QString& error) {
    if (m_error.isEmpty()) {
        m_error = error;
    }
}

std::optional<QString> TCliArgs::Value(const QString& option) const {
    const auto found = m_values.find(option);
    if (found == m_values.end()) {
        return std::nullopt;
    }
    return *found;
}

std::optional<qint64> ParseByteCount(const QString& text) {
    QString digits = text.trimmed();
    qint64 unit = 1;
    if (digits.endsWith('K', Qt::CaseInsensitive)) {
        unit = 1024;
        digits.chop(1);
    } else if (digits.endsWith('M', Qt::CaseInsensitive)) {
        unit = 1024 * 1024;
        digits.chop(1);
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    if (!ok || value < 0 || digits.startsWith('+') ||
        value > std::numeric_limits<qint64>::max() / unit) {
        return std::nullopt;
    }
    return value * unit;
}

bool PrintHelpIfAsked(const QStringList& args, const char* usage) {
    for (const QString& arg : args) {
        if (arg == QLatin1String("--")) {
            break;
        }
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return true;
        }
    }
    return false;
}

QByteArray TryHelpLine(const char* command) {
    QByteArray line = "Try 'quiva ";
    if (command != nullptr) {
        line += command;
        line += ' ';
    }
    return line + "--help' for more information.\n";
}

int UsageError(const char* name, const QString& message, const char* /*usage*/) {
    std::fflush(stdout);
    std::fprintf(stderr, "quiva %s: %s\n%s", name, EncodeNativeName(message).constData(),
                 TryHelpLine(name).constData());
    return kExitUsage;
}

void CommandError(const char* command, const QString& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "quiva %s: %s\n", command, EncodeNativeName(text).constData());
}
