#pragma once
// Command ids of Quorl's menu and shortcuts; each QAction carries its id as data.

namespace quorl {

enum CommandId : int {
  ID_VIDEO_FORMAT = 32771,
  ID_VIDEO_SOURCE = 32772,
  ID_REGISTER_FRAME = 32776,
  ID_SAVE_FRAME_AS = 32777,
  ID_OPTIONS = 32778,
  ID_ROBUST_TRACKING = 32779,
  ID_LOAD_CAMERA_PARAMS = 32780,
  ID_ADD_TARGET_PICTURES = 32781,
  ID_REMOVE_TARGET_PICTURES = 32782,
  ID_PUBLISH_POSES = 32783,
  ID_RECORD_SESSION = 32784,
  ID_OPEN_PICTURE_LIBRARY = 32786,
  ID_EDIT_COPY = 57634,
  ID_APP_ABOUT = 57664,
  ID_APP_EXIT = 57665,
};

}  // namespace quorl
