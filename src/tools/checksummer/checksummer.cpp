#include "tools/checksummer/checksummer.h"

#include "base/errors.h"
#include "platform/file_system.h"
#include "platform/native_name.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// A chunk is one vector group of Quivash blocks (4 MiB), so that Quivash digests it in
// place.
constexpr qint64 kChunkBytes = kQuivashGroupBlocks * kQuivashBlockSize;
// Chunks in flight: lets the faster digests run ahead of the slower ones for a while.
constexpr int kSlots = 8;

// One run over a stream. The calling thread reads chunks into a ring of slots; each digest's
// thread takes every chunk in order; a slot is refilled once every digest is done with it.
// Thread safety: m_lock guards the slots' sizes and counts, m_published, m_abort, m_error
// and the workers' results; a slot's bytes are written only while no digest holds it.
class TDigestRun {
public:
    TDigestRun(QIODevice& stream, TDigestSet digests, const std::atomic<bool>* stop,
               const TPercentProgress& progress)
        : m_stream(stream), m_stop(stop), m_progress(progress) {
        if (!stream.seek(0)) {
            RaiseError(stream.errorString());
        }
        m_size = stream.size();
        m_chunks = (m_size + kChunkBytes - 1) / kChunkBytes;
        for (int kind = 0; kind < kDigestCount; ++kind) {
            if (digests & DigestBit(static_cast<TDigestKind>(kind))) {
                m_workers.push_back(std::make_unique<TWorker>());
                m_workers.back()->kind = static_cast<TDigestKind>(kind);
                m_workers.back()->digester =
                    MakeDigester(static_cast<TDigestKind>(kind), static_cast<quint64>(m_size));
            }
        }
        const qint64 slotBytes = std::min(kChunkBytes, m_size);
        for (qint64 i = 0; i < std::min<qint64>(kSlots, m_chunks); ++i) {
            m_slots[i].data = std::make_unique_for_overwrite<uchar[]>(slotBytes);
        }
    }

    ~TDigestRun() {
        Abort(QString());
        for (auto& worker : m_workers) {
            if (worker->thread.joinable()) {
                worker->thread.join();
            }
        }
    }

    bool Run(const TDigestReport& report) {
        for (auto& worker : m_workers) {
            TWorker* target = worker.get();
            worker->thread = std::thread([this, target] { Consume(*target); });
        }
        Read();
        for (auto& worker : m_workers) {
            if (Stopping()) {
                Abort(QString());
                break;
            }
            QByteArray result;
            {
                std::unique_lock guard(m_lock);
                m_changed.wait(guard, [&] { return worker->done || m_abort; });
                if (!worker->done) {
                    break;
                }
                result = worker->result;
            }
            report(worker->kind, result);
        }
        for (auto& worker : m_workers) {
            worker->thread.join();
        }
        std::lock_guard guard(m_lock);
        if (!m_error.isEmpty()) {
            RaiseError(m_error);
        }
        return !m_abort;
    }

private:
    struct TSlot {
        std::unique_ptr<uchar[]> data;
        qint64 size = 0;
        int pending = 0;  // digests that have not yet taken the chunk
    };
    struct TWorker {
        TDigestKind kind = kDigestCrc32;
        std::unique_ptr<TDigester> digester;
        std::thread thread;
        QByteArray result;
        bool done = false;
    };

    bool Stopping() const { return m_stop && m_stop->load(); }

    // The share every digest has taken, when it changed. Called with m_lock held, which
    // keeps the percentages in order.
    void ReportTaken(qint64 taken) {
        if (!m_progress || m_size <= 0) {
            return;
        }
        const int percent =
            RoundHalfEven(static_cast<double>(taken) * 100.0 / static_cast<double>(m_size));
        if (percent != m_lastPercent) {
            m_lastPercent = percent;
            m_progress(percent);
        }
    }

    // Ends the run early; a non-empty reason is raised to the caller.
    void Abort(const QString& reason) {
        {
            std::lock_guard guard(m_lock);
            m_abort = true;
            if (m_error.isEmpty()) {
                m_error = reason;
            }
        }
        m_changed.notify_all();
    }

    void Read() {
        try {
            for (qint64 index = 0; index < m_chunks; ++index) {
                TSlot& slot = m_slots[index % kSlots];
                {
                    std::unique_lock guard(m_lock);
                    m_changed.wait(guard, [&] { return slot.pending == 0 || m_abort; });
                    if (m_abort) {
                        return;
                    }
                }
                if (Stopping()) {
                    Abort(QString());
                    return;
                }
                const qint64 size = std::min(kChunkBytes, m_size - index * kChunkBytes);
                ReadExactly(m_stream, reinterpret_cast<char*>(slot.data.get()), size);
                {
                    std::lock_guard guard(m_lock);
                    slot.size = size;
                    slot.pending = static_cast<int>(m_workers.size());
                    m_published = index + 1;
                }
                m_changed.notify_all();
            }
        } catch (const EQuiva& error) {
            Abort(error.Message());
        }
    }

    void Consume(TWorker& worker) {
        try {
            for (qint64 index = 0; index < m_chunks; ++index) {
                TSlot& slot = m_slots[index % kSlots];
                qint64 size = 0;
                {
                    std::unique_lock guard(m_lock);
                    m_changed.wait(guard, [&] { return m_published > index || m_abort; });
                    if (m_abort) {
                        return;
                    }
                    size = slot.size;
                }
                if (Stopping()) {
                    Abort(QString());
                    return;
                }
                worker.digester->Update(slot.data.get(), size);
                bool freed = false;
                {
                    std::lock_guard guard(m_lock);
                    freed = --slot.pending == 0;
                    if (freed) {
                        // Every digest takes the chunks in order, so chunk `index` is the
                        // last one all of them have taken.
                        ReportTaken(std::min(m_size, (index + 1) * kChunkBytes));
                    }
                }
                if (freed) {
                    m_changed.notify_all();
                }
            }
            QByteArray result = worker.digester->Final();
            {
                std::lock_guard guard(m_lock);
                worker.result = std::move(result);
                worker.done = true;
            }
            m_changed.notify_all();
        } catch (const EQuiva& error) {
            Abort(error.Message());
        }
    }

    QIODevice& m_stream;
    const std::atomic<bool>* m_stop;
    TPercentProgress m_progress;
    int m_lastPercent = -1;
    qint64 m_size = 0;
    qint64 m_chunks = 0;
    std::vector<std::unique_ptr<TWorker>> m_workers;
    TSlot m_slots[kSlots];
    std::mutex m_lock;
    std::condition_variable m_changed;
    qint64 m_published = 0;
    bool m_abort = false;
    QString m_error;
};

}  // namespace

void CheckSourceFile(const QString& path) {
    if (path.isEmpty()) {
        RaiseError(QStringLiteral("Please select a source file"));
    }
    if (!IsRegularFile(path)) {
        RaiseError(QStringLiteral("%1 not accessible").arg(PrintableName(path)));
    }
}

bool ComputeDigests(QIODevice& stream, TDigestSet digests, const TDigestReport& report,
                    const std::atomic<bool>* stop, const TPercentProgress& progress) {
    if ((digests & kAllDigests) == 0) {
        return true;
    }
    TDigestRun run(stream, digests & kAllDigests, stop, progress);
    return run.Run(report);
}

bool ComputeFileDigests(const QString& path, TDigestSet digests, const TDigestReport& report,
                        const std::atomic<bool>* stop, const TPercentProgress& progress) {
    CheckSourceFile(path);
    // Opened by the bytes of its name: Qt's own encoding of a file name would lose bytes
    // that are not UTF-8.
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        if (errno == EINVAL) {
            RaiseError(QStringLiteral("%1 not accessible").arg(PrintableName(path)));
        }
        RaiseError(QString::fromLocal8Bit(std::strerror(errno)));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        close(fd);
        RaiseError(file.errorString());
    }
    return ComputeDigests(file, digests, report, stop, progress);
}
