#include "cli/cli_args.h"

#include "cli/command.h"
#include "platform/native_name.h"

#include <cstdio>
#include <limits>

TCliArgs::TCliArgs(const QStringList& args, const QSet<QString>& valueOptions,
                   const QSet<QString>& switches) {
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(QLatin1String("--"))) {
            m_positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name = arg;
        std::optional<QString> inlineValue;
        if (const qsizetype eq = arg.indexOf('='); eq > 0) {
            name = arg.left(eq);
            inlineValue = arg.mid(eq + 1);
        }
        if (valueOptions.contains(name)) {
            if (inlineValue) {
                m_values[name] = *inlineValue;
            } else if (i + 1 < args.size()) {
                m_values[name] = args[++i];
            } else if (m_error.isEmpty()) {
                m_error = QStringLiteral("option %1 needs a value").arg(name);
            }
        } else if (switches.contains(name) && !inlineValue) {
            m_switches.insert(name);
        } else if (m_error.isEmpty()) {
            m_error = QStringLiteral("unknown option %1").arg(arg);
        }
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

int UsageError(const char* name, const QString& message, const char* usage) {
    std::fprintf(stderr, "quiva %s: %s\n\n%s", name, EncodeNativeName(message).constData(), usage);
    return kExitUsage;
}
