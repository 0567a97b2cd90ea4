// Helpers shared by the file-tool subcommands (split, splice, fill, equalize): help
// handling, size options and running an engine action with the program's exit codes.
#pragma once

#include "base/errors.h"
#include "cli/cli_args.h"
#include "cli/cli_host.h"
#include "cli/command.h"

#include <QStringList>

#include <cstdio>
#include <exception>
#include <functional>
#include <optional>

namespace file_tool_cli {

using ::PrintHelpIfAsked;

// Reads a size option given as a byte count with an optional K or M suffix, allowing at
// most `maximum`. Sets `error` to the usage message and returns none when it is missing
// or not such a count.
inline std::optional<qint64> SizeOption(const TCliArgs& parsed, const QString& option,
                                        qint64 maximum, QString& error) {
    const std::optional<QString> text = parsed.Value(option);
    if (!text) {
        error = QStringLiteral("%1 is required").arg(option);
        return std::nullopt;
    }
    const std::optional<qint64> bytes = ParseByteCount(*text);
    if (!bytes || *bytes > maximum) {
        error = QStringLiteral(
                    "%1 takes a byte count from 0 to %2, optionally with a K or M "
                    "suffix: '%3'")
                    .arg(option)
                    .arg(maximum)
                    .arg(*text);
        return std::nullopt;
    }
    return bytes;
}

// Runs the engine action. An EQuiva is shown as an error (on stderr, with the command,
// the file and the system's reason around its message) and
// gives kExitFailed; any other failure the same with its text; success gives kExitOk.
inline int RunAction(TCliHost& host, const std::function<void()>& action) {
    try {
        action();
    } catch (const EQuiva& error) {
        host.ShowError(error);
        return kExitFailed;
    } catch (const std::exception& error) {
        host.ShowStatus(QString::fromLocal8Bit(error.what()), true, kStatusError);
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace file_tool_cli
