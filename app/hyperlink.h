#pragma once
// A text that looks and behaves like a web link: underlined, coloured by state (link, hover, visited),
// hand cursor, the target as tooltip; a click opens the target with the desktop's handler.

#include <QColor>
#include <QCursor>
#include <QLabel>
#include <QUrl>
#include <functional>

namespace quorl {

class CHyperLink : public QLabel {
  Q_OBJECT

 public:
  // Result of GotoURL when the target was handed to a handler; every result above 32 means success,
  // the others are the error numbers that HyperlinkErrorText names.
  static constexpr int kOpened = 33;
  // Error numbers GotoURL gives on this platform.
  static constexpr int kFileNotFound = 2;
  static constexpr int kPathNotFound = 3;
  static constexpr int kNoAssociation = 31;

  // Opens a URL; returns whether a handler took it. The default is QDesktopServices::openUrl; tests
  // install their own. An empty function restores the default.
  using Opener = std::function<bool(const QUrl& url)>;
  static Opener SetOpener(Opener opener);

  // The text is shown as the link; with no URL set, the text is the target.
  explicit CHyperLink(const QString& text = QString(), QWidget* parent = nullptr);

  // Stores the target and makes it the tooltip; an empty text shows the URL instead.
  void SetURL(const QString& url);
  QString GetURL() const { return url_; }
  // Link and visited colours; an invalid hover colour means the palette's highlight colour.
  void SetColours(const QColor& link, const QColor& visited, const QColor& hover = QColor());
  void SetUnderline(bool underline);
  void SetLinkCursor(const QCursor& cursor);
  // Whether the widget shrinks to its text after a change of text, URL or font (on by default).
  void SetAutoSize(bool fit) { adjustToFit_ = fit; }

  bool IsVisited() const { return visited_; }
  void SetVisited(bool visited);
  bool IsOverControl() const { return overControl_; }
  // Hover colour while the mouse is over the link, else visited colour once visited, else link colour.
  QColor CurrentColour() const;

  // Opens `url`: a local file or folder that does not exist gives kFileNotFound (kPathNotFound when its
  // folder is missing too) without asking a handler; a handler that refuses gives kNoAssociation.
  static int GotoURL(const QString& url);

  // What a click does: GotoURL, then visited on success, or a beep and the report
  // "Unable to open hyperlink:\n\n" + HyperlinkErrorText(result).
  void Open();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void applyColour();
  void fitToText();

  QColor linkColour_{0, 0, 238};
  QColor visitedColour_{85, 26, 139};
  QColor hoverColour_;  // invalid: the palette's highlight colour
  bool overControl_ = false;
  bool visited_ = false;
  bool adjustToFit_ = true;
  bool pressed_ = false;
  QString url_;
};

// The report text for a GotoURL result: the message for each known error number, else
// "Unknown Error (<result>) occurred.".
QString HyperlinkErrorText(int result);

}  // namespace quorl
