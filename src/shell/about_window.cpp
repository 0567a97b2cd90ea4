#include "shell/about_window.h"

#include "shell/red_url.h"

#include <QFile>
#include <QVBoxLayout>

namespace {

constexpr int kAboutWidth = 330;
constexpr int kAboutHeight = 485;
constexpr int kAboutBorder = 5;
constexpr const char* kAcknowledgements = ":/shell/ackno.html";

}  // namespace

TfrmAbout::TfrmAbout(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kAboutWidth, kAboutHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 10, 8, 8);
    logo = AddLogoPanel(this, layout);
    redAbout = new TRedURL(this);
    redAbout->setObjectName(QStringLiteral("redAbout"));
    redAbout->SetBorderWidth(kAboutBorder);
    layout->addWidget(redAbout, 1);
    QFile document(QString::fromLatin1(kAcknowledgements));
    if (document.open(QIODevice::ReadOnly)) {
        redAbout->SetRichText(QString::fromUtf8(document.readAll()));
    }
    connect(redAbout, &TRedURL::LinkClick, this,
            [](const QString& link) { (void)TRedURL::OpenWebLink(link); });
}
