#pragma once
// The view: owns the tracker state, the frame grabber and the rendering state; turns the 33 ms tick,
// the commands and the clicks into tracker calls, paints the picture and the teapot, and copies or
// saves the current frame.

#include <QBasicTimer>
#include <QOpenGLWidget>
#include <QSize>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/frame_grabber.h"
#include "render/gl_render.h"
#include "session/session_writer.h"
#include "stream/pose_server.h"
#include "tracker/tracker.h"

class QImage;

namespace quorl {

class COptionDlg;

// Fewer model keypoints than this track poorly; the status line then warns.
inline constexpr int kFewModelPoints = 40;

// Status line note while no calibration is loaded.
inline constexpr const char* kNoCalibrationStatus =
    "No calibration: no pose can be drawn until one is loaded (File > Load Camera Parameters...)";

// Message after an error inside the tracking; the detail is the error's own text.
inline constexpr const char* kMsgTrackingError =
    "Tracking failed on this frame and starts over from the registered target.";

// The full calibration Calibrate Camera... saves (the camera file beside it), relative to the working
// directory; at start-up without --calibration it is used when present.
inline constexpr const char* kSavedCalibrationPath = "Data/camera_param.yml";
// Message when a full calibration cannot be used; the detail is "<path>: <reason>".
inline constexpr const char* kMsgCannotUseCalibration = "Can't use the calibration.";

// Frame size used when there is no video source.
inline constexpr int kNoCaptureWidth = 320;
inline constexpr int kNoCaptureHeight = 240;

// What the user chose on the command line.
struct ViewOptions {
  std::string source = "auto";  // frame source name: auto, synthetic[:profile], camera:N, a file or pattern
  std::string cameraParams;     // calibration file; empty: Data/camera_param.dat as found by CameraParamPath
  std::string calibration;      // full calibration (UseCalibration); empty: kSavedCalibrationPath when present
  bool robust = false;          // start in the robust tracking mode
  std::vector<std::string> pictures;  // target pictures (and the picture scene's pictures)
  int publishPort = 0;                // publish poses on this port from the start (0: not)
  std::string publishHost = "127.0.0.1";
  std::vector<std::string> publishOrigins;  // web pages allowed to read the stream besides PoseServer's own
};

// Message when the pose stream cannot start; the detail names the port and the reason.
inline constexpr const char* kMsgCannotPublish = "Can't publish the poses.";
// Port the Publish Poses dialog offers first.
inline constexpr int kDefaultPublishPort = 5555;

// Message when a session cannot be recorded (its folder, a frame or session.json); the detail names the file
// and the reason. The recording then stops, keeping what was written.
inline constexpr const char* kMsgCannotRecord = "Can't record the session.";
// File > Record Session... and, while recording, its text.
inline constexpr const char* kRecordSessionText = "&Record Session...";
inline constexpr const char* kStopRecordingText = "Stop Recording";

// Message when a file cannot be a target picture; the detail names the file and the reason.
inline constexpr const char* kMsgBadTargetPicture = "Can't use this file as a target picture.";
// Message when a file cannot be opened as a picture library; the detail names the file and the reason.
inline constexpr const char* kMsgBadPictureLibrary = "Can't open this file as a picture library.";

// The picture as an image of its own size, top row first; a null image for an empty picture.
QImage DibToImage(const DibImage& picture);

class CQuorlView : public QOpenGLWidget, public TrackerPlatform {
  Q_OBJECT

 public:
  // `options` holds the settings the tracker shares with the Options dialog; it outlives the view.
  CQuorlView(COptionDlg& options, QWidget* parent = nullptr);
  ~CQuorlView() override;

  // Start-up: connect the source, take the frame size from it (320 x 240 without one) and start the
  // tick, fix the view to the frame size, load the calibration for that size, create the pictures.
  // The GL set-up follows when the widget is first shown.
  void OnInitialUpdate(const ViewOptions& options);

  // Commands.
  void OnVideoFormat();
  void OnVideoSource();
  void OnRegisterFrame();
  void OnCopyFrame();
  void OnSaveFrameAs();
  // File > Load Camera Parameters...: a file chooser, then LoadCameraParams.
  void OnLoadCameraParams();
  // Loads the calibration at `path` rescaled to the current frame size, as at start-up: a file that
  // cannot be used is reported (text, path and reason) and the calibration in use stays. True when loaded.
  bool LoadCameraParams(const QString& path);
  // Takes the OpenCV YAML or XML calibration or camera file at `path` (LoadCalibrationFile) as the camera,
  // its lens for the robust mode and the picture targets (setCalibration); the status line then names it. A
  // file that cannot be used is reported (kMsgCannotUseCalibration, the path and the reason) and the
  // calibration in use stays. A later LoadCameraParams drops it. True when taken.
  bool UseCalibration(const QString& path);
  // File > Add Target Picture...: a chooser for several picture files, then AddTargetPictures.
  void OnAddTargetPictures();
  // Adds each file as a picture target: one that cannot be used is reported (kMsgBadTargetPicture, the
  // file and why), a poor one warned of (kPoorPictureWarning). Returns how many were added.
  int AddTargetPictures(const std::vector<std::string>& paths);
  // File > Open Picture Library...: a chooser for a library file (quorl-library build), then OpenPictureLibrary.
  void OnOpenPictureLibrary();
  // Adds the library's pictures as targets: a file that cannot be used is reported (kMsgBadPictureLibrary, the
  // file and why) and nothing is added; its poor pictures are warned of in one message. Returns how many were
  // added. A recorded session keeps picture files, so it holds none of a library's pictures.
  int OpenPictureLibrary(const std::string& path);
  // Matching > Remove Target Pictures.
  void OnRemoveTargetPictures();
  // Configurations > Publish Poses...: the dialog, then StartPublishing or StopPublishing.
  void OnPublishPoses();
  // Every tick's targets as a pose message to programs on `host`:`port` (TCP) and port + 1 (WebSocket).
  // A port that cannot be had is reported (kMsgCannotPublish, the port and why). True when publishing.
  bool StartPublishing(int port, const std::string& host = "127.0.0.1");
  void StopPublishing();
  const PoseServer* publisher() const { return publisher_.get(); }
  // File > Record Session...: a folder chooser, then StartRecording; while recording, StopRecording.
  void OnRecordSession();
  // Records into `dir` (a new or empty folder) from the next tick on: every frame the view processes, each
  // registration (its frame and four clicks), the detector settings and tracking mode of now, the
  // calibration file and the target pictures. Frames are written on the writer's thread. A folder that
  // cannot be written is reported (kMsgCannotRecord, the folder and why). True when recording.
  bool StartRecording(const QString& dir);
  // Writes session.json; the status line then says where the session was written, or the failure is reported.
  void StopRecording();
  bool Recording() const { return recorder_ != nullptr; }
  // Matching > Robust Tracking: the mode of the tracked frames from the next tick on; the model stays.
  void SetRobustTracking(bool on);
  bool RobustTracking() const { return state_.robustMode; }
  // Writes the unmarked frame as an image file (format from the suffix, PNG without one).
  bool SaveFrame(const QString& path);

  // True while a video source is connected: Video Format works only then.
  bool HasCapture() const { return grabber_.HasSource(); }
  // Adopts the grabber's current frame size: view size, calibration rescaled (model kept), pictures.
  void ApplyFrameSize();

  const TrackerState& state() const { return state_; }
  CFrameGrabber& grabber() { return grabber_; }
  QSize frameSize() const { return frameSize_; }
  bool ticking() const { return tick_.isActive(); }
  // One line, what matters first: the tracking state (marked "(robust)" in the robust mode) or, while registering, the
  // corner to click next; without a calibration, that no pose can be drawn until one is loaded; last the source.
  QString StatusText() const;

  // TrackerPlatform.
  bool hasCapture() const override { return HasCapture(); }
  bool grabFrame(const uint8_t*& packed, std::size_t& byteCount) override;
  void startTick() override;
  void stopTick() override;
  void requestRepaint() override;
  TrackerSettings& settings() override;
  void refreshSettingsDisplay() override;
  void report(const std::string& text, const std::string& detail) override;

 signals:
  void statusChanged(const QString& text);
  void captureChanged(bool hasCapture);
  void frameSizeChanged(const QSize& size);
  // A tick took a new frame and processed it (state().frame holds it).
  void frameProcessed();
  void recordingChanged(bool recording);

 protected:
  void initializeGL() override;
  void paintGL() override;
  void mousePressEvent(QMouseEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  void OnTick();
  // Runs a step of the frame loop; an exception out of it is reported (kMsgTrackingError) and the loop recovers
  // (recoverFromError) and goes on.
  void guarded(const std::function<void()>& step);
  void releaseGl();
  void markClicks();
  void publishStatus();
  QString trackingStatus() const;
  // Ends the recording; `problem` (why it ended, when a frame was refused) or a failed finish is reported.
  void finishRecording(const std::string& problem);

  COptionDlg& options_;
  TrackerState state_;
  CFrameGrabber grabber_;
  GlContext gl_;
  QBasicTimer tick_;
  QSize frameSize_{kNoCaptureWidth, kNoCaptureHeight};
  std::string sourceText_;  // what the status line names as the source
  QString calibrationPath_;  // the full calibration in use (UseCalibration); empty while none
  QString lastStatus_;
  std::unique_ptr<PoseServer> publisher_;
  std::vector<std::string> publishOrigins_;
  int publishPort_ = kDefaultPublishPort;
  long long publishedFrames_ = 0;
  std::string publishHost_ = "127.0.0.1";
  std::unique_ptr<SessionWriter> recorder_;  // while recording
  QString recordedNote_;                     // where the last recording was written, for the status line
  std::string cameraPath_;                   // the calibration file loaded last
  std::vector<SessionPicture> pictureFiles_;  // each picture target's name and file
};

}  // namespace quorl
