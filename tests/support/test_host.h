// A host for engine tests: records every status text instead of showing it.
#pragma once

#include "shell/host.h"

#include <QList>
#include <QString>

struct TRecordedStatus {
    QString text;
    bool hold;
    int kind;
};

class TTestHost : public THost {
public:
    TTestHost();
    ~TTestHost() override;

    void ShowStatus(const QString& text, bool hold, int kind) override;

    QList<TRecordedStatus> statuses;
    // The last status text, or empty.
    QString LastStatus() const { return statuses.isEmpty() ? QString() : statuses.last().text; }
    // True when some status was shown with kind 3 and this text.
    bool HasError(const QString& text) const;
};
