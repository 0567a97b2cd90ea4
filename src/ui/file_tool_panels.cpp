#include "ui/file_tool_panels.h"

#include "ui/ell_path.h"
#include "ui/form_base.h"
#include "ui/window_parts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStyle>

namespace {

constexpr int kBrowseButtonWidth = 28;

}  // namespace

TSizePanel MakeSizePanel(QWidget* parent, const char* panelName, const QString& title,
                         const char* titleName, int verticalSpacing) {
    TSizePanel parts;
    parts.panel = MakePanel(parent, panelName);
    parts.title = Named(new QLabel(title, parts.panel), titleName);
    parts.size = Named(new QLabel(parts.panel), "lblSize");
    parts.bytes = Named(new QSlider(parts.panel), "tbB");
    parts.kilobytes = Named(new QSlider(parts.panel), "tbKb");
    parts.megabytes = Named(new QSlider(parts.panel), "tbMb");
    parts.quickLabel = Named(new QLabel(QStringLiteral("Quick Pick"), parts.panel), "lblCommon");
    parts.quickPick = Named(new QComboBox(parts.panel), "cbCommon");
    auto* grid = new QGridLayout(parts.panel);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(verticalSpacing);
    grid->addWidget(parts.title, 0, 0);
    grid->addWidget(parts.size, 0, 1, Qt::AlignRight);
    grid->addWidget(parts.bytes, 1, 0, 1, 2);
    grid->addWidget(parts.kilobytes, 2, 0, 1, 2);
    grid->addWidget(parts.megabytes, 3, 0, 1, 2);
    grid->addWidget(parts.quickLabel, 4, 0);
    grid->addWidget(parts.quickPick, 4, 1);
    SetHint(parts.bytes, QStringLiteral("Bytes|Use PgUp, PgDn & Arrow keys to adjust size"));
    SetHint(parts.kilobytes,
            QStringLiteral("Kilobytes|Use PgUp, PgDn & Arrow keys to adjust size"));
    SetHint(parts.megabytes,
            QStringLiteral("Megabytes|Use PgUp, PgDn & Arrow keys to adjust size"));
    SetHint(parts.quickPick, QStringLiteral("Common Sizes|"));
    return parts;
}

TDestinationPanel MakeDestinationPanel(QWidget* parent, const QString& overwriteCaption,
                                       const QString& browseHint) {
    TDestinationPanel parts;
    parts.panel = MakePanel(parent, "pnlDest");
    parts.label = Named(new QLabel(QStringLiteral("Destination File"), parts.panel), "lblDest");
    parts.path = Named(new TEllPath(parts.panel), "stDest");
    parts.browse = Named(new QPushButton(parts.panel), "bbnBrowse");
    parts.browse->setIcon(parts.browse->style()->standardIcon(QStyle::SP_DirOpenIcon));
    parts.browse->setFixedWidth(kBrowseButtonWidth);
    parts.overwrite = Named(new QCheckBox(overwriteCaption, parts.panel), "cbxOverwrite");
    auto* grid = new QGridLayout(parts.panel);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(parts.label, 0, 0, 1, 2);
    grid->addWidget(parts.path, 1, 0);
    grid->addWidget(parts.browse, 1, 1);
    grid->addWidget(parts.overwrite, 2, 0, 1, 2);
    SetHint(parts.browse, browseHint);
    SetHint(parts.path, QStringLiteral("Destination File"));
    return parts;
}
