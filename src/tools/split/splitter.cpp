#include "tools/split/splitter.h"
#include "storage/tool_state.h"

#include "base/bar_list.h"
#include "base/digests.h"
#include "base/errors.h"
#include "base/file_error.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/common/sum_list.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

// "Could not write PIECE", with the system's reason when there is one.
[[noreturn]] void RaiseWriteError(const QString& shown, const QString& reason) {
    if (reason.isEmpty()) {
        RaiseError(QString::fromUtf8(kSplitWriteMessage).arg(shown));
    }
    RaiseError(QString::fromUtf8(kSplitWriteReasonMessage).arg(shown, reason));
}

}  // namespace

QString PieceName(const QString& destFolder, const QString& source, int number) {
    QString folder = destFolder;
    if (folder.endsWith('/')) {
        folder.chop(1);
    }
    return QStringLiteral("%1/%2.%3")
        .arg(folder, NamePart(source), QString::number(number).rightJustified(3, '0'));
}

QString ChecksumListName(const QString& destFolder, const QString& source) {
    QString folder = destFolder;
    if (folder.endsWith('/')) {
        folder.chop(1);
    }
    return QStringLiteral("%1/%2.sha256").arg(folder, NamePart(source));
}

qint64 PieceCount(qint64 sourceSize, qint64 pieceSize) {
    if (pieceSize <= 0 || sourceSize <= 0) {
        return 0;
    }
    return sourceSize / pieceSize + (sourceSize % pieceSize != 0 ? 1 : 0);
}

int Split(const TSplitRequest& request, const TPercentProgress& progress) {
    TSourceFile source;
    if (!source.Open(request.source)) {
        RaiseFileError(QString::fromUtf8(kSplitNoSourceMessage), request.source,
                       errno == EINVAL ? 0 : errno);
    }
    const qint64 size = source.Size();
    if (request.pieceSize <= 0) {
        RaiseError(QString::fromUtf8(kSplitZeroPieceMessage));
    }
    const qint64 count = PieceCount(size, request.pieceSize);
    if (count > request.maxCount) {
        RaiseError(QString::fromUtf8(kSplitTooManyMessage));
    }
    if (request.pieceSize >= size) {
        RaiseError(QString::fromUtf8(kSplitTooSmallMessage));
    }
    // The list is made ready before the first piece, so that a list that may not be
    // written stops the split before anything is written.
    std::unique_ptr<TReplacementFile> list;
    std::unique_ptr<TDigester> whole;
    QByteArray listText;
    if (request.checksumList) {
        const QString listPath = ChecksumListName(request.destFolder, request.source);
        if (!request.overwrite && ExistsAsNonFolder(listPath)) {
            RaiseError(QString::fromUtf8(kSplitExistsMessage).arg(PrintableName(listPath)));
        }
        list = std::make_unique<TReplacementFile>(listPath);
        if (!list->Open()) {
            RaiseWriteError(PrintableName(listPath), list->ErrorText());
        }
        whole = MakeDigester(kDigestSha256, static_cast<quint64>(size));
    }

    int lastPercent = -1;
    qint64 offset = 0;
    for (int number = 1; offset < size; ++number) {
        const QString piece = PieceName(request.destFolder, request.source, number);
        // The piece's name as a message shows it: one readable line whatever its bytes.
        const QString shown = PrintableName(piece);
        if (!request.overwrite && ExistsAsNonFolder(piece)) {
            RaiseError(QString::fromUtf8(kSplitExistsMessage).arg(shown));
        }
        const qint64 length = std::min(size - offset, request.pieceSize);
        TReplacementFile output(piece);
        if (!output.Open()) {
            RaiseWriteError(shown, output.ErrorText());
        }
        output.Reserve(length);
        std::optional<TCopyFault> fault;
        if (list) {
            // Both digests take the bytes on their way to the piece: no second read.
            const std::unique_ptr<TDigester> digest =
                MakeDigester(kDigestSha256, static_cast<quint64>(length));
            fault = CopyBytesObserved(source.Handle(), offset, output.Handle(), length,
                                      [&](const char* data, qint64 bytes) {
                                          const auto* block = reinterpret_cast<const uchar*>(data);
                                          digest->Update(block, bytes);
                                          whole->Update(block, bytes);
                                      });
            if (!fault) {
                listText += FormatSumLine(digest->Final(), EncodeNativeName(NamePart(piece)));
            }
        } else {
            fault = CopyBytes(source.Handle(), offset, output.Handle(), length);
        }
        if (fault) {
            if (fault->side == TCopyFault::kRead) {
                RaiseError(QString::fromUtf8(kSplitOtherMessage).arg(fault->text, shown));
            }
            RaiseWriteError(shown, fault->text);
        }
        if (!output.Commit()) {
            RaiseWriteError(shown, output.ErrorText());
        }
        offset += length;
        const int percent = RoundHalfEven(number * 100.0 / static_cast<double>(count));
        if (progress && percent != lastPercent) {
            progress(percent);
        }
        lastPercent = percent;
    }
    if (list) {
        // The whole file is not beside its pieces until they are joined: its line is a
        // comment, which sha256sum -c passes over and Splice reads.
        listText += kSumCommentPrefix +
                    FormatSumLine(whole->Final(), EncodeNativeName(NamePart(request.source)));
        if (const std::optional<TCopyFault> fault =
                WriteAll(list->Handle(), listText.constData(), listText.size())) {
            RaiseWriteError(PrintableName(list->Target()), fault->text);
        }
        if (!list->Commit()) {
            RaiseWriteError(PrintableName(list->Target()), list->ErrorText());
        }
    }
    return static_cast<int>(count);
}

QByteArray SplitSettingsText(const TSplitSettings& settings) {
    return TBarList::Join({
        EncodeNativeName(settings.source),
        EncodeNativeName(settings.destFolder),
        settings.overwrite ? "1" : "0",
        QByteArray::number(settings.parts.bytes),
        QByteArray::number(settings.parts.kilobytes),
        QByteArray::number(settings.parts.megabytes),
        QByteArray::number(settings.quickPick),
        QByteArray::number(settings.maxCount),
    });
}

std::optional<TSplitSettings> ParseSplitSettings(const QByteArray& text) {
    const TBarList fields(text);
    if (fields.Count() != kSplitSettingsFields) {
        return std::nullopt;
    }
    TSplitSettings settings;
    const QString source = DecodeNativeName(fields[0]);
    if (IsRegularFile(source)) {
        settings.source = source;
    }
    if (const QString folder = FolderPart(source); IsFolder(folder)) {
        settings.sourceFolder = folder;
    }
    if (const QString dest = DecodeNativeName(fields[1]); IsFolder(dest)) {
        settings.destFolder = dest;
    }
    settings.overwrite = fields.Flag(2);
    settings.parts = ClampedParts(fields.Int(3, 0), fields.Int(4, 0), fields.Int(5, 0));
    settings.quickPick =
        BoundIndex(fields.Int(6, 0), static_cast<int>(kSplitQuickPicks.size()) - 1);
    int count = fields.Int(7, kDefaultFileCount);
    if (count > kMaxFileCount) {
        count = 0;
    }
    settings.maxCount = std::clamp(count, kMinFileCount, kMaxFileCount);
    return settings;
}

void SaveSplitSettings(TAppStores& stores, const TSplitSettings& settings) {
    SaveToolText(stores, kSplitSettingsKey, SplitSettingsText(settings));
}

std::optional<TSplitSettings> LoadSplitSettings(TAppStores& stores) {
    const std::optional<QByteArray> text = LoadToolText(stores, kSplitSettingsKey);
    if (!text) {
        return std::nullopt;
    }
    return ParseSplitSettings(*text);
}

void SaveSplitListSetting(TAppStores& stores, bool checksumList) {
    SaveToolFields(stores, kSplitListSettingsKey, {checksumList ? "1" : "0"});
}

bool LoadSplitListSetting(TAppStores& stores) {
    const std::optional<TBarList> fields = LoadToolFields(stores, kSplitListSettingsKey, 1);
    return fields && fields->Flag(0);
}
