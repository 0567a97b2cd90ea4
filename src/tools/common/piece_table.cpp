#include "tools/common/piece_table.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/native_name.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// File ranges are copied in steps of this many bytes, so that progress is seen.
constexpr qint64 kWriteStep = qint64(64) << 20;

TFileTime TimeOf(const struct stat& st) {
    return TFileTime{static_cast<qint64>(st.st_mtim.tv_sec),
                     static_cast<qint32>(st.st_mtim.tv_nsec)};
}

}  // namespace

TPieceTable::~TPieceTable() {
    Close();
}

TPieceTable::TPieceTable(TPieceTable&& other) noexcept {
    *this = std::move(other);
}

TPieceTable& TPieceTable::operator=(TPieceTable&& other) noexcept {
    if (this != &other) {
        Close();
        m_path = std::exchange(other.m_path, QString());
        m_fd = std::exchange(other.m_fd, -1);
        m_size = std::exchange(other.m_size, 0);
        m_sourceSize = std::exchange(other.m_sourceSize, 0);
        m_openedTime = std::exchange(other.m_openedTime, TFileTime{});
        m_device = other.m_device;
        m_inode = other.m_inode;
        m_edited = std::exchange(other.m_edited, false);
        m_pieces = std::move(other.m_pieces);
        m_added = std::move(other.m_added);
        other.m_pieces.clear();
        other.m_added.clear();
    }
    return *this;
}

int TPieceTable::Open(const QString& path) {
    Close();
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        return errno;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    m_path = path;
    m_fd = fd;
    m_size = st.st_size;
    m_sourceSize = st.st_size;
    m_openedTime = TimeOf(st);
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_edited = false;
    if (m_size > 0) {
        m_pieces.push_back(TPiece{false, 0, m_size});
    }
    return 0;
}

void TPieceTable::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_path.clear();
    m_size = 0;
    m_sourceSize = 0;
    m_openedTime = {};
    m_edited = false;
    m_pieces.clear();
    m_added.clear();
}

std::pair<size_t, qint64> TPieceTable::Locate(qint64 position) const {
    qint64 at = 0;
    for (size_t i = 0; i < m_pieces.size(); ++i) {
        if (position < at + m_pieces[i].length) {
            return {i, position - at};
        }
        at += m_pieces[i].length;
    }
    return {m_pieces.size(), 0};
}

size_t TPieceTable::SplitAt(qint64 position) {
    const auto [index, offset] = Locate(position);
    if (index >= m_pieces.size() || offset == 0) {
        return index;
    }
    const TPiece piece = m_pieces[index];
    m_pieces[index].length = offset;
    m_pieces.insert(m_pieces.begin() + qsizetype(index) + 1,
                    TPiece{piece.added, piece.start + offset, piece.length - offset});
    return index + 1;
}

QByteArray TPieceTable::Read(qint64 position, qint64 length) const {
    if (m_fd < 0 || position < 0 || position >= m_size || length <= 0) {
        return {};
    }
    length = std::min(length, m_size - position);
    QByteArray bytes(length, Qt::Uninitialized);
    auto [index, offset] = Locate(position);
    qint64 got = 0;
    while (got < length && index < m_pieces.size()) {
        const TPiece& piece = m_pieces[index];
        const qint64 n = std::min(piece.length - offset, length - got);
        if (piece.added) {
            std::copy_n(m_added.constData() + piece.start + offset, n, bytes.data() + got);
        } else {
            qint64 done = 0;
            while (done < n) {
                const ssize_t r =
                    pread(m_fd, bytes.data() + got + done, n - done, piece.start + offset + done);
                if (r < 0 && errno == EINTR) {
                    continue;
                }
                if (r < 0) {
                    RaiseError(SystemErrorText(errno));
                }
                if (r == 0) {
                    RaiseError(QString::fromLatin1(kUnexpectedEndText));
                }
                done += r;
            }
        }
        got += n;
        offset = 0;
        ++index;
    }
    return bytes;
}

void TPieceTable::Overwrite(qint64 position, const QByteArray& bytes) {
    if (bytes.isEmpty() || position < 0 || position + bytes.size() > m_size) {
        return;
    }
    m_edited = true;
    // Typing over bytes typed before changes them where they are held.
    const auto [index, offset] = Locate(position);
    if (index < m_pieces.size() && m_pieces[index].added &&
        offset + bytes.size() <= m_pieces[index].length) {
        std::copy(bytes.begin(), bytes.end(), m_added.begin() + m_pieces[index].start + offset);
        return;
    }
    Erase(position, bytes.size());
    Insert(position, bytes);
}

void TPieceTable::Insert(qint64 position, const QByteArray& bytes) {
    if (bytes.isEmpty() || position < 0 || position > m_size || m_fd < 0) {
        return;
    }
    m_edited = true;
    const size_t index = SplitAt(position);
    // Bytes that follow the last ones inserted extend their piece.
    if (index > 0) {
        TPiece& before = m_pieces[index - 1];
        if (before.added && before.start + before.length == m_added.size()) {
            m_added.append(bytes);
            before.length += bytes.size();
            m_size += bytes.size();
            return;
        }
    }
    m_pieces.insert(m_pieces.begin() + qsizetype(index),
                    TPiece{true, m_added.size(), bytes.size()});
    m_added.append(bytes);
    m_size += bytes.size();
}

void TPieceTable::Erase(qint64 position, qint64 length) {
    if (position < 0 || position >= m_size || length <= 0) {
        return;
    }
    length = std::min(length, m_size - position);
    m_edited = true;
    const size_t first = SplitAt(position);
    const size_t last = SplitAt(position + length);
    m_pieces.erase(m_pieces.begin() + qsizetype(first), m_pieces.begin() + qsizetype(last));
    m_size -= length;
}

std::optional<TCopyFault> TPieceTable::WriteTo(int to, const TPercentProgress& progress) const {
    const double step = m_size > 0 ? 100.0 / static_cast<double>(m_size) : 0;
    int last = -1;
    qint64 written = 0;
    const auto report = [&] {
        const int percent = RoundHalfEven(static_cast<double>(written) * step);
        if (progress && percent != last) {
            progress(percent);
        }
        last = percent;
    };
    for (const TPiece& piece : m_pieces) {
        if (piece.added) {
            if (auto fault = WriteAll(to, m_added.constData() + piece.start, piece.length)) {
                return fault;
            }
            written += piece.length;
            report();
            continue;
        }
        for (qint64 done = 0; done < piece.length;) {
            const qint64 n = std::min(kWriteStep, piece.length - done);
            if (auto fault = CopyBytes(m_fd, piece.start + done, to, n)) {
                return fault;
            }
            done += n;
            written += n;
            report();
        }
    }
    return std::nullopt;
}

TSourceState TPieceTable::SourceState() const {
    if (m_fd < 0) {
        return TSourceState::kUnchanged;
    }
    struct stat open;
    if (fstat(m_fd, &open) != 0 || open.st_size != m_sourceSize || TimeOf(open) != m_openedTime) {
        return TSourceState::kChangedInPlace;
    }
    struct stat named;
    if (stat(EncodeNativeName(m_path).constData(), &named) != 0 || named.st_dev != m_device ||
        named.st_ino != m_inode || TimeOf(named) != m_openedTime) {
        return TSourceState::kReplaced;
    }
    return TSourceState::kUnchanged;
}

std::optional<TFileTime> LastWriteTime(const QString& path) {
    if (path.isEmpty()) {
        return std::nullopt;
    }
    struct stat st;
    if (stat(EncodeNativeName(path).constData(), &st) != 0) {
        return std::nullopt;
    }
    return TimeOf(st);
}
