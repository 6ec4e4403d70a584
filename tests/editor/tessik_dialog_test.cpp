#include "editor/tessik_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <sys/resource.h>

#include <bit>
#include <csignal>
#include <cmath>
#include <deque>
#include <random>

#include "camera/opencv_calibration.h"
#include "editor/about_dlg.h"
#include "editor/drop_edit.h"
#include "editor/prompts.h"
#include "qtcommon/message.h"

namespace quorl {
namespace {

QByteArray bytesOf(const CameraParam& p) {
  const CameraParamBytes b = encodeCameraParam(p);
  return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

CameraParam sampleRecord() {
  CameraParam p = makePinholeCameraParam(640, 480, 600.0);
  p.mat[0][1] = 0.1;
  p.mat[1][3] = -1.0 / 3.0;
  p.mat[2][3] = -0.0;
  p.dist_factor[2] = 1e-300;
  p.dist_factor[3] = std::numeric_limits<double>::denorm_min();
  return p;
}

// Drives the real dialog; message boxes and file choosers answer from scripts.
class TessikDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    SetMessageHook([this](const QString& text, const MessageOptions& options) {
      const QMessageBox::StandardButtons buttons = options.buttons;
      messages << text;
      details << options.detail;
      if (!buttons.testFlag(QMessageBox::Yes) && !buttons.testFlag(QMessageBox::Save)) return QMessageBox::Ok;
      if (answers.empty()) return buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Cancel;
      const QMessageBox::StandardButton answer = answers.front();
      answers.pop_front();
      return answer;
    });
    setFileChooserHook([this](FileChoice choice) {
      choices.push_back(choice);
      return chosenFile;
    });
  }
  void TearDown() override {
    SetMessageHook({});
    setFileChooserHook({});
  }

  QString path(const QString& name) const { return dir.filePath(name); }
  QString box(int id) const { return dlg.valueEdit(id)->text(); }
  void load(const QString& file) {
    dlg.dropBox()->setText(file);
    dlg.button(CTessikDlg::kLoadButton)->click();
  }
  void saveAs(const QString& file) {
    chosenFile = file;
    dlg.button(CTessikDlg::kSaveAsButton)->click();
  }

  QTemporaryDir dir;
  CTessikDlg dlg;
  QStringList messages;
  QStringList details;  // of each message
  std::deque<QMessageBox::StandardButton> answers;
  std::vector<FileChoice> choices;
  QString chosenFile;
};

TEST_F(TessikDialog, LoadFillsAllEighteenBoxes) {
  writeFile(path("c.dat"), bytesOf(sampleRecord()));
  load(path("c.dat"));
  EXPECT_TRUE(messages.isEmpty()) << messages.join(" | ").toStdString();
  EXPECT_EQ(box(1003), "640");
  EXPECT_EQ(box(1004), "480");
  EXPECT_EQ(box(1005), "600");
  EXPECT_EQ(box(1013), "0.1");  // mat[0][1]
  EXPECT_EQ(box(1015), "0");    // mat[0][3]
  EXPECT_EQ(box(1019), "-0.3333333333333333");
  EXPECT_EQ(box(1023), "-0");  // mat[2][3]
  EXPECT_EQ(box(1024), "320");
  EXPECT_EQ(box(1026), "1e-300");
  EXPECT_EQ(box(1027), "5e-324");
  EXPECT_EQ(bytesOf(dlg.record), bytesOf(sampleRecord()));
}

// A failed Load names the file and the reason, keeps the boxes and puts back the path of what they show.
TEST_F(TessikDialog, LoadErrorsKeepTheBoxesAndTheirPath) {
  writeFile(path("c.dat"), bytesOf(sampleRecord()));
  load(path("c.dat"));
  writeFile(path("short.dat"), QByteArray(100, '\x11'));
  load(path("short.dat"));
  EXPECT_EQ(messages, QStringList{"File read error!!!"});
  EXPECT_EQ(details, QStringList{path("short.dat") + ": 100 of 136 bytes"});
  EXPECT_EQ(box(1005), "600");
  EXPECT_EQ(bytesOf(dlg.record), bytesOf(sampleRecord()));  // not half overwritten
  EXPECT_EQ(dlg.dropBox()->text(), path("c.dat"));
  EXPECT_EQ(dlg.pathText, path("c.dat"));
  messages.clear();
  details.clear();
  load(path("none.dat"));
  EXPECT_EQ(messages, QStringList{"Can't find the camera parameter file!!!"});
  EXPECT_EQ(details, QStringList{path("none.dat") + ": No such file or directory"});
  EXPECT_EQ(dlg.dropBox()->text(), path("c.dat"));
  messages.clear();
  load(QString());
  EXPECT_EQ(messages, QStringList{"Can't find the camera parameter file!!!"});

  // A longer file loads its first 136 bytes and says how long it is.
  QByteArray longer = bytesOf(makePinholeCameraParam(320, 240, 300.0));
  longer.append(64, '\x7f');
  writeFile(path("long.dat"), longer);
  messages.clear();
  details.clear();
  load(path("long.dat"));
  EXPECT_EQ(bytesOf(dlg.record), bytesOf(makePinholeCameraParam(320, 240, 300.0)));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].startsWith("The file is 200 bytes long")) << messages[0].toStdString();
  EXPECT_EQ(details, QStringList{path("long.dat")});
  EXPECT_EQ(dlg.dropBox()->text(), path("long.dat"));
}

TEST_F(TessikDialog, LoadThenSaveAsReproducesEveryFiniteFileBitForBit) {
  std::mt19937_64 rng(2024);
  for (int trial = 0; trial < 40; ++trial) {
    CameraParamBytes raw;
    for (auto& b : raw) b = static_cast<uint8_t>(rng());
    CameraParam p = decodeCameraParam(raw);
    for (auto& row : p.mat)
      for (double& v : row)
        if (!std::isfinite(v)) v = 1.5;
    for (double& v : p.dist_factor)
      if (!std::isfinite(v)) v = -2.5;
    writeFile(path("in.dat"), bytesOf(p));
    load(path("in.dat"));
    QFile::remove(path("out.dat"));
    saveAs(path("out.dat"));  // the size warnings that random values raise are answered Yes
    ASSERT_EQ(readFile(path("out.dat")), bytesOf(p)) << "trial " << trial;
    ASSERT_EQ(messages.last(), "File was saved successfully!!!");
  }
}

TEST_F(TessikDialog, EditedValueIsSavedAndThePathBoxShowsTheSavedFile) {
  writeFile(path("c.dat"), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  load(path("c.dat"));
  dlg.valueEdit(1016)->setText(" 0.25 ");  // mat[1][0]
  dlg.valueEdit(1003)->setText("641");
  saveAs(path("edited.dat"));
  EXPECT_EQ(messages, QStringList{"File was saved successfully!!!"});
  EXPECT_EQ(details, QStringList{path("edited.dat")});
  CameraParam expected = makePinholeCameraParam(640, 480, 600.0);
  expected.mat[1][0] = 0.25;
  expected.xsize = 641;
  EXPECT_EQ(readFile(path("edited.dat")), bytesOf(expected));
  EXPECT_EQ(dlg.dropBox()->text(), path("edited.dat"));
  EXPECT_EQ(choices, std::vector<FileChoice>{FileChoice::SaveCameraParam});
}

TEST_F(TessikDialog, TextThatIsNotANumberIsRefusedByName) {
  dlg.show();
  writeFile(path("c.dat"), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  load(path("c.dat"));
  dlg.valueEdit(1021)->setText("12abc");  // mat[2][1]
  saveAs(path("never.dat"));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("mat[2][1]")) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains("12abc"));
  EXPECT_TRUE(messages[0].contains("Nothing was saved."));
  EXPECT_FALSE(QFile::exists(path("never.dat")));
  EXPECT_EQ(dlg.focusWidget(), dlg.valueEdit(1021));

  messages.clear();
  dlg.valueEdit(1021)->setText("0");
  dlg.valueEdit(1004)->setText("480.5");
  saveAs(path("never.dat"));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("ysize needs a whole number"));
  EXPECT_FALSE(QFile::exists(path("never.dat")));
}

TEST_F(TessikDialog, SavingAnUntouchedDialogWarnsThenWrites136Zeros) {
  answers = {QMessageBox::No};
  saveAs(path("zero.dat"));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("are not an image size")) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].endsWith("Save anyway?"));
  EXPECT_FALSE(QFile::exists(path("zero.dat")));

  messages.clear();
  saveAs(path("zero.dat"));  // answered Yes
  EXPECT_EQ(messages.last(), "File was saved successfully!!!");
  EXPECT_EQ(readFile(path("zero.dat")), QByteArray(136, '\0'));
}

TEST_F(TessikDialog, ExistingFileIsReplacedOnlyWhenTheUserAgrees) {
  writeFile(path("c.dat"), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  load(path("c.dat"));
  writeFile(path("old.dat"), "keep me");
  answers = {QMessageBox::No};
  saveAs(path("old.dat"));
  EXPECT_EQ(messages, QStringList{"old.dat already exists.\nDo you want to replace it?"});
  EXPECT_EQ(readFile(path("old.dat")), QByteArray("keep me"));
  messages.clear();
  saveAs(path("old.dat"));
  EXPECT_EQ(messages.last(), "File was saved successfully!!!");
  EXPECT_EQ(readFile(path("old.dat")), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
}

// Failed saves name what refused (a missing folder, or the file) and why; a write that fails part-way leaves the old
// file as it was.
TEST_F(TessikDialog, WriteFailuresAreReportedAndKeepTheOldFile) {
  writeFile(path("c.dat"), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  load(path("c.dat"));
  saveAs(path("missing/dir/x.dat"));
  EXPECT_EQ(messages, QStringList{"Can't open the camera parameter file!!!"});
  ASSERT_EQ(details.size(), 1);
  EXPECT_EQ(details[0], path("missing/dir") + ": the folder does not exist");
  EXPECT_EQ(dlg.dropBox()->text(), path("c.dat"));

  // Files may grow to 100 bytes only: the 136-byte write fails once its bytes reach the disk.
  const QByteArray old = "an older file that must survive a failed save";
  writeFile(path("old.dat"), old);
  messages.clear();
  details.clear();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  saveAs(path("old.dat"));  // exists: the replace question is answered Yes
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousSignal);
  EXPECT_EQ(messages.last(), "File write error!!!");
  EXPECT_EQ(details.last(), path("old.dat") + ": only 100 of 136 bytes could be written");
  EXPECT_EQ(readFile(path("old.dat")), old);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), (QStringList{"c.dat", "old.dat"}));  // no leftovers
}

TEST_F(TessikDialog, UnsavedEditsAskBeforeLoadingOrClosing) {
  writeFile(path("other.dat"), bytesOf(makePinholeCameraParam(320, 240, 300.0)));
  dlg.show();
  writeFile(path("c.dat"), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  load(path("c.dat"));
  EXPECT_FALSE(dlg.hasUnsavedEdits());
  dlg.button(CTessikDlg::kExitButton)->click();  // nothing changed: closes without asking
  EXPECT_TRUE(messages.isEmpty());
  EXPECT_FALSE(dlg.isVisible());

  dlg.show();
  dlg.valueEdit(1005)->setText("601");
  ASSERT_TRUE(dlg.hasUnsavedEdits());
  answers = {QMessageBox::Cancel};
  dlg.button(CTessikDlg::kExitButton)->click();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("Save them before closing?"));
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(box(1005), "601");

  // Save, but the file chooser is cancelled: the dialog stays. Then saved: it closes.
  answers = {QMessageBox::Save};
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible());
  answers = {QMessageBox::Save};
  chosenFile = path("saved.dat");
  dlg.close();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(readFile(path("saved.dat")).mid(8, 8), bytesOf(makePinholeCameraParam(601, 480, 601.0)).mid(8, 8));

  // Load with edits: Cancel keeps them, Discard loads the file.
  dlg.show();
  dlg.valueEdit(1005)->setText("602");
  messages.clear();
  answers = {QMessageBox::Cancel};
  load(path("other.dat"));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("Save them before loading another file?"));
  EXPECT_EQ(box(1005), "602");
  answers = {QMessageBox::Discard};
  load(path("other.dat"));
  EXPECT_EQ(box(1005), "300");

  dlg.valueEdit(1005)->setText("602");
  answers = {QMessageBox::Discard};
  dlg.button(CTessikDlg::kExitButton)->click();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(readFile(path("saved.dat")).mid(8, 8), bytesOf(makePinholeCameraParam(601, 480, 601.0)).mid(8, 8));
}

TEST_F(TessikDialog, CancelledSaveAsDoesNothing) {
  dlg.valueEdit(1005)->setText("nonsense");
  saveAs(QString());
  EXPECT_TRUE(messages.isEmpty());
  EXPECT_EQ(box(1005), "nonsense");
}

TEST_F(TessikDialog, BrowseSetsThePathAndDiscardsUnsavedEdits) {
  writeFile(path("c.dat"), bytesOf(makePinholeCameraParam(640, 480, 600.0)));
  load(path("c.dat"));
  dlg.valueEdit(1005)->setText("123");
  chosenFile = path("other.dat");
  dlg.button(CTessikDlg::kBrowseButton)->click();
  EXPECT_EQ(choices, std::vector<FileChoice>{FileChoice::OpenCameraParam});
  EXPECT_EQ(dlg.dropBox()->text(), path("other.dat"));
  EXPECT_EQ(box(1005), "600");
  chosenFile.clear();
  dlg.valueEdit(1005)->setText("123");
  dlg.button(CTessikDlg::kBrowseButton)->click();
  EXPECT_EQ(dlg.dropBox()->text(), path("other.dat"));
  EXPECT_EQ(box(1005), "123");
}

TEST_F(TessikDialog, HangulPathsLoadAndSave) {
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("카메라")));
  const QString file = path(QStringLiteral("카메라/보정.dat"));
  writeFile(file, bytesOf(sampleRecord()));
  load(file);
  EXPECT_TRUE(messages.isEmpty());
  EXPECT_EQ(box(1005), "600");
  saveAs(path(QStringLiteral("카메라/사본.dat")));
  EXPECT_EQ(messages.last(), "File was saved successfully!!!");
  EXPECT_EQ(readFile(path(QStringLiteral("카메라/사본.dat"))), bytesOf(sampleRecord()));
}

// Sends a real drop of `urls` onto the path box.
void drop(CDropEdit* edit, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  const QPointF at(5, 5);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(edit, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent event(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(edit, &event);
}

TEST_F(TessikDialog, DropTakesTheFirstRegularFileOrALinksTarget) {
  CDropEdit* edit = dlg.dropBox();
  writeFile(path("a.dat"), "a");
  writeFile(path("b.dat"), "b");
  ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));

  drop(edit, {QUrl::fromLocalFile(path("a.dat")), QUrl::fromLocalFile(path("b.dat"))});
  EXPECT_EQ(edit->text(), path("a.dat"));

  drop(edit, {QUrl::fromLocalFile(path("folder")), QUrl::fromLocalFile(path("b.dat"))});
  EXPECT_EQ(edit->text(), path("a.dat"));

  ASSERT_TRUE(QFile::link(path("b.dat"), path("link.dat")));
  drop(edit, {QUrl::fromLocalFile(path("link.dat"))});
  EXPECT_EQ(edit->text(), path("b.dat"));

  ASSERT_TRUE(QFile::link(path("link.dat"), path("chain.dat")));  // a link to a link: the final target
  edit->setText(QString());
  drop(edit, {QUrl::fromLocalFile(path("chain.dat"))});
  EXPECT_EQ(edit->text(), path("b.dat"));

  ASSERT_TRUE(QFile::link(path("gone.dat"), path("dangling.dat")));
  ASSERT_TRUE(QFile::link(path("folder"), path("folderlink")));
  for (const QString& unchanged : {path("dangling.dat"), path("folderlink"), path("nothing.dat"),
                                   QStringLiteral("/dev/null")}) {
    drop(edit, {QUrl::fromLocalFile(unchanged)});
    EXPECT_EQ(edit->text(), path("b.dat")) << unchanged.toStdString();
  }
  drop(edit, {QUrl(QStringLiteral("https://example.invalid/camera_param.dat"))});
  EXPECT_EQ(edit->text(), path("b.dat"));
  EXPECT_TRUE(messages.isEmpty());  // dropping never loads
}

TEST_F(TessikDialog, FolderModeTakesOnlyFolders) {
  CDropEdit* edit = dlg.dropBox();
  edit->acceptFolders = true;
  writeFile(path("a.dat"), "a");
  drop(edit, {QUrl::fromLocalFile(path("a.dat"))});
  EXPECT_TRUE(edit->text().isEmpty());
  drop(edit, {QUrl::fromLocalFile(dir.path())});
  EXPECT_EQ(edit->text(), dir.path());
}

TEST_F(TessikDialog, ImportsAnOpenCVCalibrationAndWarnsOnSizeMismatch) {
  const QString calibration = QStringLiteral(QUORL_OPENCV_SAMPLES_DIR "/data/left_intrinsics.yml");
  if (!QFile::exists(calibration)) GTEST_SKIP() << "opencv-doc not installed";
  chosenFile = calibration;
  dlg.button(CTessikDlg::kImportButton)->click();
  EXPECT_EQ(choices, std::vector<FileChoice>{FileChoice::ImportCalibration});
  EXPECT_EQ(box(1003), "640");
  EXPECT_EQ(box(1004), "480");
  EXPECT_EQ(box(1005), "535.915733961632");
  EXPECT_EQ(box(1017), "535.915733961632");  // mat[1][1]
  EXPECT_EQ(box(1022), "1");                 // mat[2][2]
  ASSERT_EQ(messages.size(), 1);             // the dropped higher-order distortion terms
  EXPECT_TRUE(messages[0].contains("k2, p1, p2, k3"));

  messages.clear();
  saveAs(path("imported.dat"));
  EXPECT_EQ(messages, QStringList{"File was saved successfully!!!"});

  messages.clear();
  dlg.valueEdit(1003)->setText("320");
  answers = {QMessageBox::No};
  QFile::remove(path("imported.dat"));
  saveAs(path("imported.dat"));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("for 640 x 480 images, but xsize and ysize are 320 x 480"))
      << messages[0].toStdString();
  EXPECT_FALSE(QFile::exists(path("imported.dat")));
}

TEST_F(TessikDialog, ImportWithoutImageSizeKeepsTheSizeBoxes) {
  writeFile(path("k.yml"),
            "%YAML:1.0\ncameraMatrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n"
            "  data: [ 700., 0., 330., 0., 710., 235., 0., 0., 1. ]\n");
  dlg.valueEdit(1003)->setText("640");
  dlg.valueEdit(1004)->setText("480");
  chosenFile = path("k.yml");
  dlg.button(CTessikDlg::kImportButton)->click();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("no image size"));
  EXPECT_EQ(box(1003), "640");
  EXPECT_EQ(box(1004), "480");
  EXPECT_EQ(box(1017), "710");

  messages.clear();
  writeFile(path("bad.yml"), "%YAML:1.0\nsomething: 1\n");
  chosenFile = path("bad.yml");
  dlg.button(CTessikDlg::kImportButton)->click();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].startsWith("Can't import the OpenCV calibration bad.yml"));
  EXPECT_EQ(box(1017), "710");
}

// An OpenCV calibration loaded from the path box fills the record as Import does; Save As writes the .dat and
// the YAML beside it, which reads back to the same camera with every coefficient, k1 following an edited
// dist_factor[2]. Refusing to replace the YAML saves nothing; a camera file loaded afterwards saves no YAML.
TEST_F(TessikDialog, LoadsAYamlAndSavesTheDatWithTheYamlBeside) {
  writeFile(path("cam.yml"),
            "%YAML:1.0\nimage_width: 640\nimage_height: 480\ncamera_matrix: !!opencv-matrix\n  rows: 3\n"
            "  cols: 3\n  dt: d\n  data: [ 600., 0., 330., 0., 610., 235., 0., 0., 1. ]\n"
            "distortion_coefficients: !!opencv-matrix\n  rows: 5\n  cols: 1\n  dt: d\n"
            "  data: [ -0.2, 0.05, 0.001, -0.002, 0.01 ]\n");
  load(path("cam.yml"));
  EXPECT_EQ(box(1003), "640");
  EXPECT_EQ(box(1005), "600");
  EXPECT_EQ(box(1017), "610");
  ASSERT_EQ(messages.size(), 1);  // the terms the record cannot hold
  EXPECT_TRUE(messages[0].contains("k2, p1, p2, k3")) << messages[0].toStdString();
  EXPECT_FALSE(dlg.hasUnsavedEdits());

  messages.clear();
  saveAs(path("out.dat"));
  ASSERT_EQ(messages, QStringList{"File was saved successfully!!!"});
  EXPECT_EQ(details[1], path("out.dat") + "\n" + path("out.yml"));
  EXPECT_EQ(readFile(path("out.dat")), bytesOf(dlg.record));
  std::string error;
  std::optional<ImportedCalibration> back = importOpenCVCalibration(path("out.yml").toStdString(), error);
  ASSERT_TRUE(back.has_value()) << error;
  EXPECT_EQ(bytesOf(back->param), bytesOf(dlg.record));
  EXPECT_EQ(back->coefficients, (std::vector<double>{-0.2, 0.05, 0.001, -0.002, 0.01}));

  // dist_factor[2] edited: k1 = k fx fy in the YAML; both replacements asked for.
  dlg.valueEdit(CTessikDlg::kFirstDoubleEdit + 13)->setText("-1e-7");
  messages.clear();
  answers = {QMessageBox::Yes, QMessageBox::Yes};
  saveAs(path("out.dat"));
  ASSERT_EQ(messages.size(), 3);
  EXPECT_EQ(messages[0], "out.dat already exists.\nDo you want to replace it?");
  EXPECT_EQ(messages[1], "out.yml already exists.\nDo you want to replace it?");
  back = importOpenCVCalibration(path("out.yml").toStdString(), error);
  ASSERT_TRUE(back.has_value()) << error;
  EXPECT_NEAR(back->coefficients[0], -1e-7 * 600 * 610, 1e-12);
  EXPECT_EQ(back->coefficients[1], 0.05);

  // The YAML not to be replaced: neither file changes.
  const QByteArray dat = readFile(path("out.dat")), yml = readFile(path("out.yml"));
  dlg.valueEdit(CTessikDlg::kFirstDoubleEdit + 13)->setText("-2e-7");
  messages.clear();
  answers = {QMessageBox::Yes, QMessageBox::No};
  saveAs(path("out.dat"));
  EXPECT_EQ(messages.size(), 2);
  EXPECT_EQ(readFile(path("out.dat")), dat);
  EXPECT_EQ(readFile(path("out.yml")), yml);

  // A camera parameter file: saved alone, as before.
  answers = {QMessageBox::Discard};
  load(path("out.dat"));
  messages.clear();
  saveAs(path("plain.dat"));
  EXPECT_EQ(messages, QStringList{"File was saved successfully!!!"});
  EXPECT_FALSE(QFile::exists(path("plain.yml")));

  // A YAML that is no calibration: the path and the reason; the boxes and the path box stay.
  writeFile(path("bad.yaml"), "%YAML:1.0\nsomething: 1\n");
  messages.clear();
  load(path("bad.yaml"));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages[0], "Can't load the OpenCV calibration bad.yaml.");
  EXPECT_TRUE(details.last().startsWith(path("bad.yaml") + ": ")) << details.last().toStdString();
  EXPECT_EQ(dlg.dropBox()->text(), path("plain.dat"));
  EXPECT_EQ(box(1005), "600");
}

TEST_F(TessikDialog, TabOrderFollowsTheTemplate) {
  dlg.show();
  QStringList order;
  QWidget* w = dlg.dropBox();
  for (int i = 0; i < 40; ++i) {
    order << w->objectName();
    do w = w->nextInFocusChain();
    while (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisible());
    if (w == dlg.dropBox()) break;
  }
  QStringList expected = {"edit1000", "button1001", "button1002", "edit1003", "edit1004", "edit1005"};
  for (int id = 1013; id <= 1027; ++id) expected << QStringLiteral("edit%1").arg(id);
  expected << "button1006" << "button1028" << "button2" << "button1029";
  EXPECT_EQ(order, expected);
}

TEST_F(TessikDialog, LayoutKeepsEveryControlInsideItsFrameAndReadable) {
  dlg.show();
  QList<QWidget*> controls;
  for (QWidget* w : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (!qobject_cast<QGroupBox*>(w)) controls << w;
  ASSERT_EQ(controls.size(), 1 + 18 + 6 + 4);  // path, values, buttons, labels
  const QRect client = dlg.rect();
  for (QWidget* a : controls) {
    EXPECT_TRUE(client.contains(a->geometry())) << a->objectName().toStdString();
    for (QWidget* b : controls) {
      if (a != b) {
        EXPECT_FALSE(a->geometry().intersects(b->geometry()))
            << a->objectName().toStdString() << " / " << b->objectName().toStdString();
      }
    }
    if (auto* label = qobject_cast<QLabel*>(a)) {
      EXPECT_GE(label->width(), label->sizeHint().width());
    }
    if (auto* button = qobject_cast<QPushButton*>(a)) {
      EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text().remove('&')));
    }
  }
  const QWidget* values = nullptr;
  for (QGroupBox* g : dlg.findChildren<QGroupBox*>())
    if (g->title() == "Camera Parameter Values") values = g;
  ASSERT_NE(values, nullptr);
  for (int id : {1003, 1004, 1005, 1013, 1027})
    EXPECT_TRUE(values->geometry().contains(dlg.valueEdit(id)->geometry())) << id;
  // 383 x 201 dialog units: x in quarter, y in eighth character cells.
  const double cellRatio = static_cast<double>(dlg.fontMetrics().height()) /
                           ((dlg.fontMetrics().horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2);
  EXPECT_NEAR(static_cast<double>(dlg.width()) / dlg.height(), (383.0 / 4) / (201.0 / 8 * cellRatio), 0.02);
  EXPECT_EQ(dlg.windowTitle(), "Camera Parameter Viewer");
}

TEST_F(TessikDialog, EnterInABoxNeitherClosesNorSaves) {
  dlg.show();
  dlg.valueEdit(1005)->setFocus();
  QTest::keyClick(dlg.valueEdit(1005), Qt::Key_Return);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(choices.empty());
  dlg.button(CTessikDlg::kSaveAsButton)->setFocus();
  QTest::keyClick(dlg.button(CTessikDlg::kSaveAsButton), Qt::Key_Return);
  EXPECT_EQ(choices, std::vector<FileChoice>{FileChoice::SaveCameraParam});  // a focused button is pressed
}

TEST_F(TessikDialog, AboutBoxFromButtonAndContextMenu) {
  dlg.show();
  QString seenTitle;
  QStringList seenLines;
  QTimer::singleShot(0, [&] {
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    seenTitle = about->windowTitle();
    for (QLabel* l : about->findChildren<QLabel*>())
      if (!l->text().isEmpty()) seenLines << l->text();
    about->findChild<QPushButton*>("button1")->click();
  });
  dlg.button(CTessikDlg::kAboutButton)->click();
  EXPECT_EQ(seenTitle, "About Tessik");
  EXPECT_TRUE(seenLines.contains("Tessik Version 1.0"));

  QStringList menuItems;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* a : menu->actions()) menuItems << a->text();
    menu->close();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg.mapToGlobal(QPoint(5, 5)));
  QCoreApplication::sendEvent(&dlg, &event);
  EXPECT_EQ(menuItems, QStringList{"&About Tessik..."});
}

TEST(TessikProgram, AnswersHelpAndVersionAndRendersAFile) {
  QProcess p;
  p.start(QStringLiteral(QUORL_TESSIK_PROGRAM), {"--version"});
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 0);
  EXPECT_EQ(p.readAllStandardOutput().trimmed(), "tessik 1.0.0.1");

  p.start(QStringLiteral(QUORL_TESSIK_PROGRAM), {"--help"});
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 0);
  EXPECT_TRUE(p.readAllStandardOutput().contains("Usage:"));

  QTemporaryDir dir;
  const QString png = dir.filePath("shot.png");
  p.start(QStringLiteral(QUORL_TESSIK_PROGRAM),
          {"-platform", "offscreen", "--screenshot", png, QStringLiteral(QUORL_SOURCE_DIR "/Data/camera_param.dat")});
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_TRUE(QFile::exists(png));

  // Without a user to answer a message box, a file that does not load is told on standard error.
  const QString missing = dir.filePath("missing.dat");
  p.start(QStringLiteral(QUORL_TESSIK_PROGRAM), {"-platform", "offscreen", "--screenshot", png, missing});
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_NE(p.exitCode(), 0);
  EXPECT_TRUE(QString::fromLocal8Bit(p.readAllStandardError())
                  .contains("tessik: Can't find the camera parameter file!!! " + missing + ": No such file or directory\n"));
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) {
  // Headless also when the test list is collected at build time, outside the test environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
