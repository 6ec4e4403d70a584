#include "app/hyperlink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMouseEvent>
#include <utility>

#include "qtcommon/message.h"

namespace quorl {

namespace {

CHyperLink::Opener& opener() {
  static CHyperLink::Opener o;
  return o;
}

}  // namespace

CHyperLink::Opener CHyperLink::SetOpener(Opener o) { return std::exchange(opener(), std::move(o)); }

QString HyperlinkErrorText(int result) {
  switch (result) {
    case 0: return QStringLiteral("The operating system is out\nof memory or resources.");
    case 2: return QStringLiteral("The specified file was not found.");
    case 3: return QStringLiteral("The specified path was not found.");
    case 5: return QStringLiteral("The operating system denied\naccess to the specified file.");
    case 8: return QStringLiteral("There was not enough memory to complete the operation.");
    case 11: return QStringLiteral("The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
    case 26: return QStringLiteral("A sharing violation occurred. ");
    case 27: return QStringLiteral("The filename association is\nincomplete or invalid.");
    case 28: return QStringLiteral("The DDE transaction could not\nbe completed because the request timed out.");
    case 29: return QStringLiteral("The DDE transaction failed.");
    case 30:
      return QStringLiteral(
          "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.");
    case 31: return QStringLiteral("There is no application associated\nwith the given filename extension.");
    case 32: return QStringLiteral("The specified dynamic-link library was not found.");
    default: return QStringLiteral("Unknown Error (%1) occurred.").arg(result);
  }
}

CHyperLink::CHyperLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
  SetUnderline(true);
  applyColour();
}

void CHyperLink::SetURL(const QString& url) {
  url_ = url;
  if (text().isEmpty()) setText(url);
  setToolTip(url);
  fitToText();
}

void CHyperLink::SetColours(const QColor& link, const QColor& visited, const QColor& hover) {
  linkColour_ = link;
  visitedColour_ = visited;
  hoverColour_ = hover;
  applyColour();
}

void CHyperLink::SetUnderline(bool underline) {
  QFont f = font();
  f.setUnderline(underline);
  setFont(f);
  fitToText();
}

void CHyperLink::SetLinkCursor(const QCursor& cursor) { setCursor(cursor); }

void CHyperLink::SetVisited(bool visited) {
  visited_ = visited;
  applyColour();
}

QColor CHyperLink::CurrentColour() const {
  if (overControl_) return hoverColour_.isValid() ? hoverColour_ : palette().color(QPalette::Highlight);
  return visited_ ? visitedColour_ : linkColour_;
}

void CHyperLink::applyColour() {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, CurrentColour());
  setPalette(p);
  update();
}

void CHyperLink::fitToText() {
  if (!adjustToFit_ || text().isEmpty()) return;
  const QSize need = sizeHint();
  QRect r = geometry();
  const Qt::Alignment a = alignment();
  if (a & Qt::AlignVCenter) {
    r.adjust(0, (r.height() - need.height()) / 2, 0, 0);
  }
  r.setHeight(need.height());
  if (a & Qt::AlignHCenter) {
    r.setLeft(r.left() + (r.width() - need.width()) / 2);
    r.setWidth(need.width());
  } else if (a & Qt::AlignRight) {
    r.setLeft(r.right() + 1 - need.width());
  } else {
    r.setWidth(need.width());
  }
  setGeometry(r);
}

int CHyperLink::GotoURL(const QString& text) {
  const QUrl url = QUrl::fromUserInput(text);
  if (url.isLocalFile()) {
    const QFileInfo info(url.toLocalFile());
    if (!info.exists()) return info.dir().exists() ? kFileNotFound : kPathNotFound;
  }
  const bool opened = opener() ? opener()(url) : QDesktopServices::openUrl(url);
  return opened ? kOpened : kNoAssociation;
}

void CHyperLink::Open() {
  const int result = GotoURL(url_.isEmpty() ? text() : url_);
  if (result > 32) {
    SetVisited(true);
    return;
  }
  SetVisited(false);
  QApplication::beep();
  ShowMessage(window(), QStringLiteral("Unable to open hyperlink:\n\n") + HyperlinkErrorText(result),
              {}, QMessageBox::Ok, QMessageBox::Warning);
}

void CHyperLink::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  overControl_ = true;
  applyColour();
}

void CHyperLink::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  overControl_ = false;
  applyColour();
}

void CHyperLink::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  QLabel::mousePressEvent(event);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  QLabel::mouseReleaseEvent(event);
  if (click) Open();
}

}  // namespace quorl
