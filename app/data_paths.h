#pragma once
// Where Quorl finds the files it ships (the calibration, README.md and docs/): the lookup of
// camera/shipped_files.h for this program, in Qt's strings.

#include <QString>

namespace quorl {

// Absolute path of `relative` in the first data folder that holds it: <executable>/../share/quorl when
// installed, then the source tree the program was built from. Empty when neither has it.
QString FindShippedFile(const QString& relative);

// `relative` as a local file URL: the file FindShippedFile finds, else where the installed program keeps
// it, so that opening the link reports the file as not found.
QString ShippedFileUrl(const QString& relative);

// The calibration to load: `explicitPath` when given (even if missing, so that its absence is reported),
// else Data/camera_param.dat in the working directory, else the shipped copy; when none exists, the
// working-directory path, whose absence is then reported.
QString CameraParamPath(const QString& explicitPath);

}  // namespace quorl
