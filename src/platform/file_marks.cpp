#include "platform/file_marks.h"

#include <algorithm>
#include <cstring>

namespace {

// Notes kept before they are all folded into the lists.
constexpr qsizetype kNoteLimit = 65536;

}  // namespace

quint64 TMarkList::NameHash(const char* name, qsizetype length) {
    return static_cast<quint64>(qHashBits(name, static_cast<size_t>(length), 0x51ed27));
}

void TMarkList::Add(const char* name, qsizetype length, quint64 print, bool byInode) {
    m_marks.push_back({NameHash(name, length), print == 0 ? 1 : print,
                       static_cast<quint32>(m_names.size()), byInode ? 1u : 0u});
    m_names.append(name, length);
    m_names.append('\0');
}

void TMarkList::Finish() {
    std::sort(m_marks.begin(), m_marks.end(),
              [](const TMark& a, const TMark& b) { return a.nameHash < b.nameHash; });
    m_marks.shrink_to_fit();
    m_names.squeeze();
}

QByteArray TMarkList::NameOf(const TMark& mark) const {
    return QByteArray(m_names.constData() + mark.nameAt);
}

quint64 TMarkList::Find(const QByteArray& name) const {
    const TMark* mark = FindMark(name);
    return mark == nullptr ? 0 : mark->print;
}

const TMarkList::TMark* TMarkList::FindMark(const QByteArray& name) const {
    const quint64 hash = NameHash(name.constData(), name.size());
    const auto found =
        std::lower_bound(m_marks.cbegin(), m_marks.cend(), hash,
                         [](const TMark& mark, quint64 value) { return mark.nameHash < value; });
    return found != m_marks.cend() && found->nameHash == hash ? &*found : nullptr;
}

void TFileMarks::Set(int folder, TMarkList list) {
    const auto notes = m_notes.find(folder);
    if (notes != m_notes.end()) {
        m_noteCount -= notes->size();
        m_notes.erase(notes);
    }
    if (list.IsEmpty()) {
        m_lists.remove(folder);
    } else {
        m_lists.insert(folder, std::move(list));
    }
}

void TFileMarks::Drop(int folder) {
    Set(folder, {});
}

void TFileMarks::Clear() {
    m_lists.clear();
    m_notes.clear();
    m_noteCount = 0;
}

void TFileMarks::Note(int folder, const QByteArray& name, quint64 print) {
    QHash<QByteArray, quint64>& notes = m_notes[folder];
    const qsizetype before = notes.size();
    notes.insert(name, print);
    m_noteCount += notes.size() - before;
    if (m_noteCount > kNoteLimit) {
        const QList<int> folders = m_notes.keys();
        for (const int each : folders) {
            Fold(each);
        }
    }
}

quint64 TFileMarks::Find(int folder, const QByteArray& name) const {
    const auto notes = m_notes.constFind(folder);
    if (notes != m_notes.cend()) {
        const auto note = notes->constFind(name);
        if (note != notes->cend()) {
            return note.value();
        }
    }
    const auto list = m_lists.constFind(folder);
    return list == m_lists.cend() ? 0 : list->Find(name);
}

const TMarkList& TFileMarks::Known(int folder) {
    Fold(folder);
    static const TMarkList kNone;
    const auto list = m_lists.constFind(folder);
    return list == m_lists.cend() ? kNone : list.value();
}

void TFileMarks::Fold(int folder) {
    const auto found = m_notes.find(folder);
    if (found == m_notes.end()) {
        return;
    }
    QHash<QByteArray, quint64> notes = std::move(found.value());
    m_notes.erase(found);
    m_noteCount -= notes.size();
    TMarkList merged;
    const auto old = m_lists.constFind(folder);
    if (old != m_lists.cend()) {
        merged.SetSince(old->Since());
        for (const TMarkList::TMark& mark : old->Marks()) {
            const QByteArray name = old->NameOf(mark);
            const auto note = notes.find(name);
            if (note == notes.end()) {
                merged.Add(name.constData(), name.size(), mark.print, mark.byInode != 0);
            } else {
                if (note.value() != 0) {
                    merged.Add(name.constData(), name.size(), note.value());
                }
                notes.erase(note);
            }
        }
    }
    for (auto note = notes.cbegin(); note != notes.cend(); ++note) {
        if (note.value() != 0) {
            merged.Add(note.key().constData(), note.key().size(), note.value());
        }
    }
    merged.Finish();
    if (merged.IsEmpty()) {
        m_lists.remove(folder);
    } else {
        m_lists.insert(folder, std::move(merged));
    }
}
