#include "platform/rename_pairing.h"

#include <sys/inotify.h>

bool TRenamePairing::HasSecondHalf(const char* at, const char* end, quint32 cookie) {
    while (at < end) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(at);
        if ((event->mask & IN_MOVED_TO) != 0 && event->cookie == cookie) {
            return true;
        }
        at += sizeof(struct inotify_event) + event->len;
    }
    return false;
}

void TRenamePairing::BeginPass() {
    m_waiting.clear();
    m_undecided = false;
}

void TRenamePairing::Resolve(quint32 cookie, const TMovedOut& movedOut) {
    const auto half = m_waiting.find(cookie);
    if (half != m_waiting.end()) {
        const THalf gone = std::move(half.value());
        m_waiting.erase(half);
        movedOut(gone);
    }
}

void TRenamePairing::NewRead(const char* begin, const char* end, const TMovedOut& movedOut) {
    if (m_undecided) {
        m_undecided = false;
        if (!HasSecondHalf(begin, end, m_undecidedCookie)) {
            Resolve(m_undecidedCookie, movedOut);
        }
    }
}

void TRenamePairing::MovedFrom(quint32 cookie, const char* rest, const char* end, THalf half,
                               const TMovedOut& movedOut) {
    const bool follows = HasSecondHalf(rest, end, cookie);
    if (!follows && rest < end) {
        movedOut(half);
        return;
    }
    m_waiting.insert(cookie, std::move(half));
    if (!follows) {
        m_undecided = true;
        m_undecidedCookie = cookie;
    }
}

bool TRenamePairing::TakeFirstHalf(quint32 cookie, THalf& half) {
    const auto found = m_waiting.find(cookie);
    if (found == m_waiting.end()) {
        return false;
    }
    half = std::move(found.value());
    m_waiting.erase(found);
    return true;
}

void TRenamePairing::EndPass(const TMovedOut& movedOut) {
    if (m_undecided) {
        m_undecided = false;
        Resolve(m_undecidedCookie, movedOut);
    }
    // Halves held because their other half followed were all taken by it.
    m_waiting.clear();
}
