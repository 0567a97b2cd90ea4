#include "tools/namecontrol/renamer.h"

#include "base/errors.h"
#include "platform/file_access.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_mask.h"

#include <QSet>

#include <algorithm>
#include <cerrno>

namespace {

QString InFolder(const QString& folder, const QString& name) {
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

QString RefusalReason(int error) {
    return error == EEXIST ? QString::fromUtf8(kNameTakenReason) : SystemErrorText(error);
}

// A name's bytes that are not UTF-8 are held as lone surrogates, which Qt's case mapping
// would turn into U+FFFD: only the text between them is converted.
QString CaseOfText(const QString& text, bool upper) {
    QString result;
    qsizetype start = 0;
    const auto flush = [&](qsizetype end) {
        const QString part = text.mid(start, end - start);
        result += upper ? part.toUpper() : part.toLower();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate()) {
            flush(i);
            result += c;
            start = i + 1;
        }
    }
    flush(text.size());
    return result;
}

QString WithCase(const QString& name, int nameCase) {
    switch (nameCase) {
        case kCaseUpper:
            return CaseOfText(name, true);
        case kCaseFirst: {
            const qsizetype first =
                name.size() > 1 && name[0].isHighSurrogate() && name[1].isLowSurrogate() ? 2 : 1;
            return CaseOfText(name.left(first), true) + CaseOfText(name.mid(first), false);
        }
        default:
            return CaseOfText(name, false);
    }
}

struct TCandidate {
    QString name;
    QString newName;
    TFileFacts facts;
};

int RunFolder(const QString& folder, const TRenameRequest& request, bool preview,
              const std::function<void(const QList<TRenameRow>&)>& folderDone,
              QList<TRenamed>* renamed) {
    QList<TFolderEntry> entries;
    if (!ListFolder(folder, entries)) {
        const int error = errno;
        RaiseError(QString::fromUtf8(kCannotReadMessage)
                       .arg(PrintableName(folder), SystemErrorText(error)));
    }
    // The candidates, in the order listed, with their new names.
    QList<TCandidate> candidates;
    for (const TFolderEntry& entry : entries) {
        if (entry.kind != kEntryFile || entry.name.startsWith('.') ||
            !FileMaskMatches(entry.name, request.mask)) {
            continue;
        }
        TCandidate candidate;
        candidate.name = entry.name;
        // A read-only file (one the user may not write) is left out, as hidden ones are.
        if (!ReadFileFacts(InFolder(folder, entry.name), candidate.facts) ||
            !candidate.facts.isRegular || candidate.facts.readOnly ||
            !MayRenameIn(folder, candidate.facts)) {
            continue;
        }
        candidate.newName = NewFileName(entry.name, request);
        candidates.append(candidate);
    }

    int count = 0;
    if ((request.options & kNameRecurse) != 0) {
        for (const TFolderEntry& entry : entries) {
            if (entry.kind == kEntryFolder && !entry.name.startsWith('.')) {
                count +=
                    RunFolder(InFolder(folder, entry.name), request, preview, folderDone, renamed);
            }
        }
    }

    // The names the folder holds, as the rows before would leave them (for a preview).
    QSet<QString> taken;
    if (preview) {
        for (const TFolderEntry& entry : entries) {
            taken.insert(entry.name);
        }
    }
    QList<TRenameRow> rows;
    for (const TCandidate& candidate : candidates) {
        TRenameRow row;
        row.path = InFolder(folder, candidate.name);
        row.newPath = InFolder(folder, candidate.newName);
        const bool unchanged = candidate.newName == candidate.name;
        if (candidate.newName.isEmpty()) {
            row.state = preview ? TRenameRow::kPreview : TRenameRow::kRefused;
            row.reason = QString::fromUtf8(kEmptyNameReason);
        } else if (preview) {
            row.state = TRenameRow::kPreview;
            if (!unchanged && taken.contains(candidate.newName)) {
                row.reason = QString::fromUtf8(kNameTakenReason);
            } else {
                taken.remove(candidate.name);
                taken.insert(candidate.newName);
                ++count;
            }
        } else {
            const int error = RenameWithoutReplacing(row.path, row.newPath);
            if (error == 0) {
                row.state = TRenameRow::kRenamed;
                ++count;
                if (!unchanged && renamed != nullptr) {
                    renamed->append({row.path, row.newPath, candidate.facts.device,
                                     candidate.facts.inode, candidate.facts.created});
                }
            } else {
                row.state = TRenameRow::kRefused;
                row.reason = RefusalReason(error);
            }
        }
        rows.append(row);
    }
    if (folderDone && !rows.isEmpty()) {
        folderDone(rows);
    }
    return count;
}

}  // namespace

void CheckRenameRequest(const TRenameRequest& request) {
    const QString forbidden = QString::fromUtf8(kForbiddenCharacters);
    const auto holdsAny = [](const QString& text, const QString& characters) {
        return std::any_of(characters.cbegin(), characters.cend(),
                           [&](QChar c) { return text.contains(c); });
    };
    if (request.mask.isEmpty()) {
        RaiseError(QString::fromUtf8(kNoMaskMessage));
    }
    if (!request.mask.contains('.')) {
        RaiseError(QString::fromUtf8(kMaskDotMessage));
    }
    if (holdsAny(request.mask, forbidden)) {
        RaiseError(QString::fromUtf8(kNotAllowedMessage).arg(forbidden, QStringLiteral("mask")));
    }
    if (holdsAny(request.extension, forbidden + '.')) {
        RaiseError(QString::fromUtf8(kNotAllowedMessage)
                       .arg(forbidden + '.', QStringLiteral("extension")));
    }
}

QString NewFileName(const QString& name, const TRenameRequest& request) {
    QString result = name;
    if ((request.options & kNameChangeExtension) != 0) {
        const qsizetype dot = result.lastIndexOf('.');
        if (dot >= 0) {
            result.truncate(dot);
        }
        // An empty extension leaves no dot behind: the name simply has no extension then.
        if (!request.extension.isEmpty()) {
            result += '.' + request.extension;
        }
    }
    if ((request.options & kNameChangeCase) != 0) {
        result = WithCase(result, request.nameCase);
    }
    if ((request.options & kNameStripSpaces) != 0) {
        result.remove(QChar(' '));
    }
    return result;
}

QString RowSuccessText(const TRenameRow& row) {
    switch (row.state) {
        case TRenameRow::kRenamed:
            return QStringLiteral("Y");
        case TRenameRow::kRefused:
            return QStringLiteral("N");
        default:
            return {};
    }
}

int RunRenamer(const TRenameRequest& request, bool preview,
               const std::function<void(const QList<TRenameRow>&)>& folderDone,
               QList<TRenamed>* renamed) {
    CheckRenameRequest(request);
    return RunFolder(request.folder, request, preview, folderDone, renamed);
}

QList<TRenameRow> UndoRenames(const QList<TRenamed>& batch, int& restored) {
    restored = 0;
    QList<TRenameRow> rows;
    for (auto it = batch.crbegin(); it != batch.crend(); ++it) {
        TRenameRow row;
        row.path = it->to;
        row.newPath = it->from;
        TFileFacts facts;
        const bool found = ReadFileFacts(it->to, facts);
        const bool sameFile = found && facts.device == it->device && facts.inode == it->inode &&
                              (!it->born || !facts.created || *it->born == *facts.created);
        if (!sameFile) {
            row.state = TRenameRow::kRefused;
            row.reason = QString::fromUtf8(kRenamedSinceReason);
        } else if (const int error = RenameWithoutReplacing(it->to, it->from); error != 0) {
            row.state = TRenameRow::kRefused;
            row.reason = RefusalReason(error);
        } else {
            row.state = TRenameRow::kRenamed;
            ++restored;
        }
        rows.append(row);
    }
    return rows;
}

QList<TRenamed>& LastRenameBatch() {
    static QList<TRenamed> batch;
    return batch;
}

QList<QByteArray> NameSettingsFields(const TNameSettings& settings) {
    return {EncodeNativeName(settings.folder), settings.mask.toUtf8(), settings.extension.toUtf8(),
            QByteArray::number(settings.caseIndex), QByteArray::number(settings.options)};
}

TNameSettings ParseNameSettings(const TBarList& fields, int lastCaseIndex) {
    TNameSettings settings;
    const QString folder = DecodeNativeName(fields[0]);
    settings.folder = !folder.isEmpty() && IsFolder(folder) ? folder : QString();
    settings.mask = fields.Text(1);
    settings.extension = fields.Text(2);
    const int caseIndex = fields.Int(3, 0);
    settings.caseIndex = caseIndex < 0 || caseIndex > lastCaseIndex ? 0 : caseIndex;
    settings.options = static_cast<quint32>(fields.Int(4, 0));
    return settings;
}
