// cutfs: a FUSE file system for power-cut tests. It serves a backing folder from memory, keeps
// what the programs change there until they make it durable, and on "cut" writes back only
// the durable state, as a board would find its SD card after the power came back. The
// durability model is described at the top of cutfs.cc.
#pragma once

namespace testkit {

// cutfs [--manifest FILE] BACKING MOUNTPOINT: serves until a cut, an unmount or SIGTERM.
int cutfs_main(int argc, char** argv);

}  // namespace testkit
