#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include "app/about_dlg.h"
#include "app/data_paths.h"
#include "app/hyperlink.h"
#include "app/option_dlg.h"
#include "tests/qtcommon/widget_environment.h"

namespace quorl {
namespace {

using testing::ReportRecorder;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new testing::WidgetEnvironment);

QLineEdit* edit(const COptionDlg& dlg, int id) { return qobject_cast<QLineEdit*>(dlg.control(id)); }
QAbstractButton* button(const COptionDlg& dlg, int id) { return qobject_cast<QAbstractButton*>(dlg.control(id)); }

TEST(OptionDlg, StartsHiddenWithTheDefaultsShown) {
  COptionDlg dlg;
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.windowTitle(), "Options");
  EXPECT_TRUE(button(dlg, COptionDlg::IDC_RADIO_10)->isChecked());
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_BARRIER)->text(), "40");
  EXPECT_FALSE(button(dlg, COptionDlg::IDC_PLOT_KPS)->isChecked());
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_KEYPOINT_COUNT)->text(), "0");
  EXPECT_TRUE(edit(dlg, COptionDlg::IDC_KEYPOINT_COUNT)->isReadOnly());
  EXPECT_TRUE(edit(dlg, COptionDlg::IDC_FRAME_RATE)->isReadOnly());
  EXPECT_FALSE(edit(dlg, COptionDlg::IDC_BARRIER)->isReadOnly());
  for (const char* text : {"특징점 개수:", "프레임률:", "f/s", "개", "Corner Type", "Barrier"}) {
    bool found = false;
    for (QWidget* w : dlg.findChildren<QWidget*>()) {
      const QVariant t = w->property("text").isValid() ? w->property("text") : w->property("title");
      found = found || t.toString() == QString::fromUtf8(text);
    }
    EXPECT_TRUE(found) << text;
  }
}

TEST(OptionDlg, UpdateReadsTheControls) {
  COptionDlg dlg;
  button(dlg, COptionDlg::IDC_RADIO_12)->click();
  edit(dlg, COptionDlg::IDC_BARRIER)->setText(" -17 ");
  button(dlg, COptionDlg::IDC_UPDATE)->click();
  EXPECT_EQ(dlg.settings().cornerType, 3);
  EXPECT_EQ(dlg.settings().barrier, -17);
}

// A text that is not an integer is refused: the message, the focus on the edit, the members from that
// control on unchanged (the radio group before it is taken).
TEST(OptionDlg, NonIntegerIsRefused) {
  for (const char* bad : {"abc", "12x", "", "99999999999", "1.5"}) {
    COptionDlg dlg;
    dlg.show();
    ReportRecorder reports;
    button(dlg, COptionDlg::IDC_RADIO_9)->click();
    button(dlg, COptionDlg::IDC_PLOT_KPS)->setChecked(true);
    edit(dlg, COptionDlg::IDC_BARRIER)->setText(QString::fromLatin1(bad));
    EXPECT_FALSE(dlg.UpdateData(true));
    ASSERT_EQ(reports.texts, QStringList{"Please enter an integer."}) << bad;
    EXPECT_EQ(dlg.settings().cornerType, 0);
    EXPECT_EQ(dlg.settings().barrier, 40);
    EXPECT_EQ(dlg.settings().plotKeypoints, 0);
    EXPECT_EQ(dlg.focusWidget(), dlg.control(COptionDlg::IDC_BARRIER));
  }
}

TEST(OptionDlg, PlotKpsTogglesTheMemberAndRefreshShowsTheMembers) {
  COptionDlg dlg;
  button(dlg, COptionDlg::IDC_PLOT_KPS)->click();
  EXPECT_EQ(dlg.settings().plotKeypoints, 1);
  button(dlg, COptionDlg::IDC_PLOT_KPS)->click();
  EXPECT_EQ(dlg.settings().plotKeypoints, 0);
  dlg.settings() = TrackerSettings{2, 55, 1, 321, 47};
  dlg.setInlierCount(88);
  edit(dlg, COptionDlg::IDC_BARRIER)->setText("typed but not applied");
  EXPECT_TRUE(dlg.UpdateData(false));
  EXPECT_TRUE(button(dlg, COptionDlg::IDC_RADIO_11)->isChecked());
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_BARRIER)->text(), "55");
  EXPECT_TRUE(button(dlg, COptionDlg::IDC_PLOT_KPS)->isChecked());
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_KEYPOINT_COUNT)->text(), "321");
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_FRAME_RATE)->text(), "47");
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_INLIER_COUNT)->text(), "88");
  dlg.settings().cornerType = 7;  // out of range: no radio checked, and read back as -1
  dlg.UpdateData(false);
  for (int id = COptionDlg::IDC_RADIO_9; id <= COptionDlg::IDC_RADIO_12; ++id) EXPECT_FALSE(button(dlg, id)->isChecked());
  EXPECT_TRUE(dlg.UpdateData(true));
  EXPECT_EQ(dlg.settings().cornerType, -1);
}

// Every tick refreshes the dialog: a Barrier value being typed survives it, Enter applies it, and the box
// then follows the tracker again; while it has the focus it is left alone.
TEST(OptionDlg, TypedBarrierSurvivesTheRefreshAndEnterAppliesIt) {
  COptionDlg dlg;
  QLineEdit* barrier = edit(dlg, COptionDlg::IDC_BARRIER);
  barrier->selectAll();
  QTest::keyClicks(barrier, "25");
  dlg.settings().barrier = 41;
  EXPECT_TRUE(dlg.UpdateData(false));
  EXPECT_EQ(barrier->text(), "25");
  QTest::keyClick(barrier, Qt::Key_Return);
  EXPECT_EQ(dlg.settings().barrier, 25);
  dlg.settings().barrier = 30;
  dlg.UpdateData(false);
  EXPECT_EQ(barrier->text(), "30");

  dlg.show();
  dlg.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  barrier->setFocus();
  ASSERT_TRUE(barrier->hasFocus());
  dlg.settings().barrier = 31;
  dlg.UpdateData(false);
  EXPECT_EQ(barrier->text(), "30");
  EXPECT_EQ(edit(dlg, COptionDlg::IDC_KEYPOINT_COUNT)->text(), "0");
}

TEST(HyperLink, ErrorTexts) {
  EXPECT_EQ(HyperlinkErrorText(2), "The specified file was not found.");
  EXPECT_EQ(HyperlinkErrorText(26), "A sharing violation occurred. ");
  EXPECT_EQ(HyperlinkErrorText(4), "Unknown Error (4) occurred.");
  EXPECT_EQ(HyperlinkErrorText(31), "There is no application associated\nwith the given filename extension.");
}

class OpenerScope {
 public:
  explicit OpenerScope(bool result) {
    previous_ = CHyperLink::SetOpener([this, result](const QUrl& url) {
      opened.append(url);
      return result;
    });
  }
  ~OpenerScope() { CHyperLink::SetOpener(previous_); }
  QList<QUrl> opened;

 private:
  CHyperLink::Opener previous_;
};

TEST(HyperLink, LooksLikeALink) {
  CHyperLink link(QStringLiteral("Quorl"));
  link.SetURL(QStringLiteral("https://example.org/quorl"));
  EXPECT_EQ(link.toolTip(), "https://example.org/quorl");
  EXPECT_TRUE(link.font().underline());
  EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));
  CHyperLink bare;
  bare.SetURL(QStringLiteral("https://example.org/"));
  EXPECT_EQ(bare.text(), "https://example.org/");
}

TEST(HyperLink, ClickOpensAndMarksVisited) {
  OpenerScope opener(true);
  ReportRecorder reports;
  CHyperLink link(QStringLiteral("site"));
  link.SetURL(QStringLiteral("https://example.org/"));
  link.SetColours(QColor(0, 0, 238), QColor(255, 0, 0));
  link.show();
  QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(2, 2));
  ASSERT_EQ(opener.opened.size(), 1);
  EXPECT_EQ(opener.opened.first(), QUrl("https://example.org/"));
  EXPECT_TRUE(link.IsVisited());
  EXPECT_EQ(link.CurrentColour(), QColor(255, 0, 0));
  EXPECT_TRUE(reports.texts.isEmpty());
}

TEST(HyperLink, FailuresAreReported) {
  ReportRecorder reports;
  {
    OpenerScope opener(true);
    CHyperLink link(QStringLiteral("gone"));
    link.SetURL(QUrl::fromLocalFile(QStringLiteral(QUORL_SOURCE_DIR "/no-such-file.md")).toString());
    link.SetVisited(true);
    link.Open();
    EXPECT_TRUE(opener.opened.isEmpty());
    EXPECT_FALSE(link.IsVisited());
    EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));
  }
  {
    OpenerScope opener(false);
    CHyperLink link(QStringLiteral("refused"));
    link.SetURL(QStringLiteral("https://example.org/"));
    link.Open();
  }
  ASSERT_EQ(reports.texts.size(), 2);
  EXPECT_EQ(reports.texts[0], "Unable to open hyperlink:\n\nThe specified file was not found.");
  EXPECT_EQ(reports.texts[1], "Unable to open hyperlink:\n\n" + HyperlinkErrorText(CHyperLink::kNoAssociation));
  EXPECT_EQ(reports.icons[0], QMessageBox::Warning);
  EXPECT_EQ(CHyperLink::GotoURL(QStringLiteral("/no/such/dir/file")), CHyperLink::kPathNotFound);
}

TEST(HyperLink, HoverColourWhileTheMouseIsOver) {
  CHyperLink link(QStringLiteral("hover"));
  link.SetColours(QColor(0, 0, 238), QColor(255, 0, 0), QColor(10, 200, 10));
  link.show();
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QApplication::sendEvent(&link, &enter);
  EXPECT_TRUE(link.IsOverControl());
  EXPECT_EQ(link.CurrentColour(), QColor(10, 200, 10));
  EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(10, 200, 10));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&link, &leave);
  EXPECT_EQ(link.CurrentColour(), QColor(0, 0, 238));
}

// The links lead to the files shipped with the program, and the usage text is the fixed one.
TEST(AboutDlg, LinksAndUsage) {
  CAboutDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), "About Quorl");
  for (int id : {CAboutDlg::IDC_LINK_TEAM, CAboutDlg::IDC_LINK_DOCS, CAboutDlg::IDC_LINK_CALIBRATION,
                 CAboutDlg::IDC_LINK_README}) {
    CHyperLink* link = dlg.link(id);
    ASSERT_NE(link, nullptr) << id;
    const QUrl url(link->GetURL());
    EXPECT_TRUE(url.isLocalFile()) << id;
    EXPECT_TRUE(QFileInfo::exists(url.toLocalFile())) << url.toString().toStdString();
    EXPECT_TRUE(link->font().underline());
  }
  const auto* usage = qobject_cast<QPlainTextEdit*>(dlg.control(CAboutDlg::IDC_USAGE));
  ASSERT_NE(usage, nullptr);
  EXPECT_TRUE(usage->isReadOnly());
  EXPECT_EQ(usage->toPlainText(),
            "Usage:\n\n1. Select [Matching]->[Register Frame] menu.\n"
            "2. Click four corner points of a rectangle to track (clockwise).\n"
            "3. You can see an augmented teapot!!!\n");
}

// A shipped file that is missing: its link names where the installed program keeps it, and a click gives
// the "not found" report instead of opening a made-up web address.
TEST(AboutDlg, MissingShippedFileIsReportedNotFound) {
  const QUrl url(ShippedFileUrl(QStringLiteral("no-such-notes.md")));
  ASSERT_TRUE(url.isLocalFile()) << url.toString().toStdString();
  EXPECT_TRUE(url.toLocalFile().endsWith(QStringLiteral("/share/quorl/no-such-notes.md")));
  OpenerScope opener(true);
  ReportRecorder reports;
  CHyperLink link(QStringLiteral("Notes"));
  link.SetURL(url.toString());
  link.Open();
  EXPECT_TRUE(opener.opened.isEmpty());
  ASSERT_EQ(reports.texts.size(), 1);
  EXPECT_TRUE(reports.texts[0] == "Unable to open hyperlink:\n\n" + HyperlinkErrorText(CHyperLink::kFileNotFound) ||
              reports.texts[0] == "Unable to open hyperlink:\n\n" + HyperlinkErrorText(CHyperLink::kPathNotFound))
      << reports.texts[0].toStdString();
  EXPECT_FALSE(link.IsVisited());
}

}  // namespace
}  // namespace quorl
