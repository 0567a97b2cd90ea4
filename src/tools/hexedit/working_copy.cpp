#include "tools/hexedit/working_copy.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/hexedit/hex_text.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TWorkingCopy::~TWorkingCopy() {
    Close();
}

TWorkingCopy::TWorkingCopy(TWorkingCopy&& other) noexcept
    : m_path(std::exchange(other.m_path, QString())),
      m_fd(std::exchange(other.m_fd, -1)),
      m_size(std::exchange(other.m_size, 0)) {}

TWorkingCopy& TWorkingCopy::operator=(TWorkingCopy&& other) noexcept {
    if (this != &other) {
        Close();
        m_path = std::exchange(other.m_path, QString());
        m_fd = std::exchange(other.m_fd, -1);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

void TWorkingCopy::Create() {
    Close();
    const QString path = MakeTempFileName();
    // The name was made by mkstemp in the temporary folder a moment ago; it is opened
    // again without following a link, so nothing planted there is written through.
    const int fd = open(EncodeNativeName(path).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const int error = errno;
        unlink(EncodeNativeName(path).constData());
        RaiseError(SystemErrorText(error));
    }
    m_path = path;
    m_fd = fd;
    m_size = 0;
}

void TWorkingCopy::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_path.isEmpty()) {
        unlink(EncodeNativeName(m_path).constData());
        m_path.clear();
    }
    m_size = 0;
}

void TWorkingCopy::AppendBytes(const uchar* bytes, qsizetype n) {
    if (m_buffer.size() < 2 * n) {
        m_buffer.resize(2 * n);
    }
    BytesToHexText(bytes, n, m_buffer.data());
    AppendText(m_buffer.constData(), 2 * n);
}

void TWorkingCopy::AppendText(const char* text, qint64 n) {
    // Writes go at the end: the position is kept there, page writes use pwrite.
    if (const std::optional<TCopyFault> fault = WriteAll(m_fd, text, n)) {
        RaiseError(fault->text);
    }
    m_size += n;
}

void TWorkingCopy::AppendRange(const TWorkingCopy& from, qint64 position, qint64 length) {
    if (length <= 0) {
        return;
    }
    if (const std::optional<TCopyFault> fault = CopyBytes(from.m_fd, position, m_fd, length)) {
        RaiseError(fault->text);
    }
    m_size += length;
}

QByteArray TWorkingCopy::Read(qint64 position, qint64 length) const {
    if (m_fd < 0 || position >= m_size || length <= 0) {
        return {};
    }
    length = std::min(length, m_size - position);
    QByteArray text(length, Qt::Uninitialized);
    qint64 got = 0;
    while (got < length) {
        const ssize_t n = pread(m_fd, text.data() + got, length - got, position + got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseError(SystemErrorText(errno));
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    text.truncate(got);
    return text;
}

void TWorkingCopy::Write(qint64 position, const QByteArray& text) {
    qint64 done = 0;
    while (done < text.size()) {
        const ssize_t n =
            pwrite(m_fd, text.constData() + done, text.size() - done, position + done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseError(SystemErrorText(errno));
        }
        if (n == 0) {
            RaiseError(SystemErrorText(ENOSPC));
        }
        done += n;
    }
    m_size = std::max(m_size, position + done);
}

void TWorkingCopy::RequireRoom(const QString& path, qint64 chars) {
    const std::optional<quint64> free = FreeBytes(path);
    const quint64 needed = static_cast<quint64>(chars) + kFreeSpaceThreshold;
    if (!free || *free < needed) {
        RaiseError(QString::fromUtf8(kNoRoomMessage)
                       .arg(FormatThousands(QString(), needed, QStringLiteral(" bytes")),
                            PrintableName(FolderPart(path))));
    }
}

std::optional<TFileTime> LastWriteTime(const QString& path) {
    if (path.isEmpty()) {
        return std::nullopt;
    }
    struct stat st;
    if (stat(EncodeNativeName(path).constData(), &st) != 0) {
        return std::nullopt;
    }
    return TFileTime{static_cast<qint64>(st.st_mtim.tv_sec),
                     static_cast<qint32>(st.st_mtim.tv_nsec)};
}
