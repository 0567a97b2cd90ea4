// The Checksummer's engine: the chosen digests of a file from a single read, each digest on
// a thread of its own, reported one by one in the checksummer's row order.
#pragma once

#include "base/digests.h"
#include "tools/common/size_parts.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

class QIODevice;

// Receives one digest's upper-case hex text. Called once per chosen digest, in the order
// CRC32, MD5, SHA1, SHA256, Quivash, each as soon as it and the ones before it are known.
using TDigestReport = std::function<void(TDigestKind kind, const QByteArray& hex)>;

// Raises "Please select a source file" for an empty path and "%s not accessible" (with the
// path as PrintableName shows it) when it does not name an existing regular file. Thread
// safety: any thread.
void CheckSourceFile(const QString& path);

// Computes the chosen digests of the open stream from position 0 to its size, reading it
// once: the calling thread reads while every digest runs on its own thread, so the work
// spreads over the machine's cores; memory stays bounded (a few MiB) whatever the size.
// `report` runs on the calling thread. Raises EQuiva with the reason when the stream
// cannot be read or ends before its size (every digest needs the whole stream, so none is
// reported then).
// Returns false, without further reports, when `stop` becomes true; true otherwise (at
// once, reading nothing, for an empty set).
// `progress`, when given, receives the share of the stream that every digest has taken,
// as a whole percentage, each time it changes: called on one of the run's threads with
// the run's lock held, so it must be brief (post it) and must not call back into the run.
// Thread safety: any thread; call from a worker thread to keep a window responsive, and
// post the reports to the window.
bool ComputeDigests(QIODevice& stream, TDigestSet digests, const TDigestReport& report,
                    const std::atomic<bool>* stop = nullptr,
                    const TPercentProgress& progress = nullptr);

// CheckSourceFile, then opens the file by the bytes of its name for reading (raising the
// system's reason when it cannot) and runs ComputeDigests on it.
bool ComputeFileDigests(const QString& path, TDigestSet digests, const TDigestReport& report,
                        const std::atomic<bool>* stop = nullptr,
                        const TPercentProgress& progress = nullptr);
