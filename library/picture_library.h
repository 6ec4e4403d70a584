#pragma once
// Picture libraries: the targets of many pictures prepared once and kept in one file, so that a program starts
// with a thousand pictures in about a second instead of preparing each (about a tenth of a second a picture).
//
// The file, little-endian, every size explicit:
//   "QUORLLIB"  u32 version  u64 length of the whole file  u32 picture count  records...  u32 CRC-32
// each record led by its u64 length, so that records are decoded on every core at once. The CRC-32 (zlib's) covers
// every byte before it. A record holds what tracking needs of one picture: its name, printed width, given size, working
// scale, trackability and miniature (the picture as lookalikes are told apart), its robust model (each point in 14
// bytes, descriptors in half precision) without the picture itself (the targets never go back to it) nor its kd-tree (a
// set builds it when it first matches the picture alone), and its refinement templates, each sample as its pixel, value
// and gradient (the steepest-descent rows are rebuilt bit for bit). After the records, from kSearchedPictures pictures
// on, the trees of the search over all of them (PictureSearch), so that a set holding the library alone does not build
// them; each tree's nodes (9 bytes: a leaf's range, or a split's dimension, cut and first child) and point order.
// The field lists in picture_library.cpp give the order; a field added to a stored struct takes one line there and a
// new kLibraryVersion.
//
// A reader refuses, before anything is taken from it, a file that is not a library, of another version,
// truncated, or damaged (checksum, or a record that does not hold together); counts are checked against the bytes
// left, so that no file makes it allocate more than its own size.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tracker/target_set.h"

namespace quorl {

inline constexpr char kLibraryMagic[8] = {'Q', 'U', 'O', 'R', 'L', 'L', 'I', 'B'};
inline constexpr uint32_t kLibraryVersion = 6;
// Limits of what a library holds: pictures, and bytes of a picture's name.
inline constexpr uint32_t kMaxLibraryPictures = 1000000;
inline constexpr uint32_t kMaxPictureNameBytes = 1024;

// One picture to prepare: its file, the name it gets and its printed width in metres (0: model units).
struct LibraryInput {
  std::string path;
  std::string name;
  double width = 0.0;
};

// Prepares the target of every input (read, checked and built as an added picture file is, with FAST-`arc`
// corners) on `jobs` threads, one picture per task, OpenCV on one thread in each. `done` is called on the
// calling thread's behalf, one call at a time, as each picture is finished: its index, the target or null, and
// the error ("<path>: <reason>") otherwise. The targets come back in the inputs' order; a failed one is left
// without a model.
using LibraryProgress = std::function<void(std::size_t index, const PictureTarget* target, const std::string& error)>;
std::vector<PictureTarget> BuildLibraryTargets(const std::vector<LibraryInput>& inputs, int arc, int jobs,
                                               const LibraryProgress& done);

// What a library holds: its pictures' targets and, from kSearchedPictures pictures on, the search's trees over them
// (TargetSet::AddPrepared takes both).
struct PictureLibrary {
  std::vector<PictureTarget> targets;
  std::vector<PictureSearch::Tree> forest;
};

// The library file's bytes for `targets`; std::length_error for what the format cannot hold (a list of over 2^32
// elements, a point's scale slot or view over 255).
std::string EncodePictureLibrary(const std::vector<PictureTarget>& targets);

// Writes the library of `targets` to `path` atomically: into a new file beside it, then renamed over it; false, with
// `error` ("<path>: <reason>"), when any step fails (the file that was there stays as it was).
bool WritePictureLibrary(const std::string& path, const std::vector<PictureTarget>& targets, std::string& error);

// The library `bytes` (as read from `path`), ready to join a set (TargetSet::AddPrepared). Nothing, with `error`
// ("<path>: <reason>"), when the bytes are refused: "not a Quorl picture library", "version N, this program reads
// version 6", "truncated", "damaged (checksum mismatch)", "damaged (picture N: <what>)" or "damaged (search forest:
// <what>)".
std::optional<PictureLibrary> DecodePictureLibrary(const std::string& bytes, const std::string& path,
                                                  std::string& error);

// Reads the whole file, then decodes it; a file that cannot be read is refused with its reason.
std::optional<PictureLibrary> ReadPictureLibrary(const std::string& path, std::string& error);

// Reads the library at `path` and adds its targets to `set` (TargetSet::AddPrepared, so they follow the set's
// targets, their names made unique); returns how many. Nothing, with `error`, when the file is refused: the set is
// then unchanged.
std::optional<std::size_t> AddPictureLibrary(TargetSet& set, const std::string& path, std::string& error);

}  // namespace quorl
