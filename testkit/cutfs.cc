// cutfs: the power-cut file system.
//
// At mount the whole backing folder is read into memory; from then on the programs see and
// change only the memory copy (the "live" tree). Beside it each file and folder keeps its
// "durable" state: what the SD card would hold if the power went now. On a cut (writing "cut"
// to the control file /.cutfs) the backing folder is rewritten to hold exactly the durable
// tree, and the file system detaches: every later operation fails, as on a board whose power
// is gone. An unmount or SIGTERM without a cut is a clean shutdown: everything is written back.
//
// The durability model: conservative POSIX with one concession to how ext4 with its default
// journal (data=ordered) really behaves, so that code which is correct there is not flagged.
//  - File data becomes durable only on fsync(2) or fdatasync(2) of that file: the durable bytes
//    are the live bytes at that moment. A file whose name is durable but whose data never was
//    comes back with its last synced bytes (empty when it never had any), like a delayed
//    allocation that never reached the card.
//  - Names (create, mkdir, rename, link, unlink, rmdir) become durable on fsync of the folder
//    that holds them: the folder's whole entry list becomes durable at once, each entry naming
//    the file it names live (not that file's data).
//  - fsync (not fdatasync) of a file or folder also makes that object's own names durable:
//    every entry that names it live is made durable, and every durable entry that names it but
//    no longer does live is dropped. This is the journal commit that ext4's fsync of a newly
//    created or renamed file forces for its inode; it covers "write, fsync, rename, fsync the
//    file" as well as "create, write, fsync" but nothing else pending in the folder. The folders
//    above are not made durable by it: a new folder needs an fsync of its parent.
//  - A rename over an existing name is atomic in the durable tree: the name names the old file
//    or the new one, never nothing.
//  - Modes and times are kept with the data (no separate durability). A symbolic link's target
//    is written with the link (like a fast symlink held in its inode): only its name waits for
//    a folder sync. sync(2)/syncfs(2) are not supported (the kernel does not pass syncfs to FUSE).
#define FUSE_USE_VERSION 31
#include "testkit/cutfs.h"

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "testkit/scenario.h"

namespace testkit {
namespace {

struct Node;
using NodeP = std::shared_ptr<Node>;

struct Node {
  bool dir = false;
  bool link = false;  // a symbolic link: its target is in `data`
  mode_t mode = 0644;
  uint64_t ino = 0;
  unsigned nlink = 0;  // live names
  std::string data, durable_data;
  std::map<std::string, NodeP> kids, durable_kids;
  struct timespec mtime {};
};

const char kControl[] = "/.cutfs";

struct State {
  std::string backing, manifest;
  NodeP root;
  NodeP control;  // the file behind kControl, outside the tree
  std::vector<std::weak_ptr<Node>> dirs;  // every folder ever made, for the name commits
  uint64_t next_ino = 2;
  bool cut = false;
};

State* st() { return static_cast<State*>(fuse_get_context()->private_data); }

struct timespec now() {
  struct timespec t;
  ::clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

NodeP make_node(State* s, bool dir, mode_t mode) {
  auto n = std::make_shared<Node>();
  n->dir = dir;
  n->mode = mode & 07777;
  n->ino = s->next_ino++;
  n->mtime = now();
  if (dir) s->dirs.push_back(n);
  return n;
}

// Splits "/a/b/c" into the folder node of "/a/b" and the name "c"; null when a part is missing.
NodeP lookup(State* s, const std::string& path) {
  NodeP n = s->root;
  size_t at = 1;
  while (at < path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (!n->dir) return nullptr;
    auto it = n->kids.find(path.substr(at, end - at));
    if (it == n->kids.end()) return nullptr;
    n = it->second;
    at = end + 1;
  }
  return n;
}

NodeP parent_of(State* s, const std::string& path, std::string* name) {
  size_t slash = path.rfind('/');
  *name = path.substr(slash + 1);
  NodeP p = lookup(s, slash == 0 ? "/" : path.substr(0, slash));
  return p && p->dir ? p : nullptr;
}

// Open files and folders hold their node through fi->fh, so an unlinked file stays usable.
NodeP node_of(State* s, const char* path, struct fuse_file_info* fi) {
  if (fi && fi->fh) return *reinterpret_cast<NodeP*>(fi->fh);
  return path ? lookup(s, path) : nullptr;
}

void hold(struct fuse_file_info* fi, const NodeP& n) { fi->fh = reinterpret_cast<uint64_t>(new NodeP(n)); }
void drop(struct fuse_file_info* fi) {
  delete reinterpret_cast<NodeP*>(fi->fh);
  fi->fh = 0;
}

// The commit of one object's names: what ext4's journal writes for the inode on its fsync.
void commit_names(State* s, const NodeP& n) {
  for (auto& w : s->dirs) {
    NodeP d = w.lock();
    if (!d) continue;
    for (auto it = d->durable_kids.begin(); it != d->durable_kids.end();) {
      auto live = d->kids.find(it->first);
      if (it->second == n && (live == d->kids.end() || live->second != n)) it = d->durable_kids.erase(it);
      else ++it;
    }
    for (auto& [name, kid] : d->kids)
      if (kid == n) d->durable_kids[name] = n;
  }
}

// --- Loading the backing folder and writing the durable tree back -------------------------

bool load(State* s, const std::string& path, const NodeP& into, std::string* err) {
  for (const std::string& name : list_dir(path)) {
    std::string full = path + "/" + name;
    struct stat sb;
    if (::lstat(full.c_str(), &sb) != 0) continue;
    if (!S_ISDIR(sb.st_mode) && !S_ISREG(sb.st_mode) && !S_ISLNK(sb.st_mode)) continue;
    NodeP n = make_node(s, S_ISDIR(sb.st_mode), sb.st_mode);
    n->mtime = sb.st_mtim;
    if (S_ISLNK(sb.st_mode)) {
      n->link = true;
      char target[4096];
      const ssize_t len = ::readlink(full.c_str(), target, sizeof target);
      if (len < 0) continue;
      n->data.assign(target, static_cast<size_t>(len));
    } else if (n->dir) {
      if (!load(s, full, n, err)) return false;
    } else if (!ld::read_file(full, &n->data, err)) {
      return false;
    }
    n->durable_data = n->data;
    n->nlink = 1;
    into->kids[name] = n;
  }
  into->durable_kids = into->kids;
  return true;
}

void write_back(const NodeP& d, const std::string& path, std::set<Node*>* on_path,
                std::map<Node*, std::string>* written, bool durable) {
  on_path->insert(d.get());
  for (auto& [name, n] : durable ? d->durable_kids : d->kids) {
    std::string full = path + "/" + name;
    if (n->link) {
      ::symlink(n->data.c_str(), full.c_str());
      continue;
    }
    if (n->dir) {
      if (on_path->count(n.get())) continue;  // a cycle the durable names may form
      ::mkdir(full.c_str(), n->mode);
      write_back(n, full, on_path, written, durable);
    } else {
      auto seen = written->find(n.get());
      if (seen != written->end() && ::link(seen->second.c_str(), full.c_str()) == 0) continue;
      int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, n->mode);
      if (fd < 0) continue;
      const std::string& bytes = durable ? n->durable_data : n->data;
      ld::write_all(fd, bytes.data(), bytes.size());
      ::close(fd);
      (*written)[n.get()] = full;
    }
    struct timespec t[2] = {n->mtime, n->mtime};
    ::utimensat(AT_FDCWD, full.c_str(), t, 0);
    ::chmod(full.c_str(), n->mode);
  }
  on_path->erase(d.get());
}

void write_tree(State* s, bool durable) {
  for (const std::string& name : list_dir(s->backing)) ld::remove_tree(s->backing + "/" + name);
  std::set<Node*> on_path;
  std::map<Node*, std::string> written;
  write_back(s->root, s->backing, &on_path, &written, durable);
  ::sync();
}

// What a clean shutdown (or sync(2)) does: everything becomes durable.
void make_durable(const NodeP& d) {
  d->durable_kids = d->kids;
  for (auto& [name, n] : d->kids) {
    if (n->dir) make_durable(n);
    else n->durable_data = n->data;
  }
}

void sync_all(State* s) {
  make_durable(s->root);
  write_tree(s, true);
}

void list_live(const NodeP& d, const std::string& path, std::string* out) {
  for (auto& [name, n] : d->kids) {
    if (n->dir) list_live(n, path + "/" + name, out);
    else *out += std::to_string(n->data.size()) + " " + path + "/" + name + "\n";
  }
}

// Counts what the cut throws away, for the message.
void count_lost(State* s, int* data, int* names) {
  for (auto& w : s->dirs) {
    NodeP d = w.lock();
    if (!d) continue;
    if (d->kids != d->durable_kids) ++*names;
    for (auto& [name, n] : d->kids)
      if (!n->dir && n->data != n->durable_data) ++*data;
  }
}

void cut(State* s) {
  if (!s->manifest.empty()) {
    std::string live;
    list_live(s->root, "", &live);
    ld::write_file_atomic(s->manifest, live);
  }
  int data = 0, names = 0;
  count_lost(s, &data, &names);
  write_tree(s, true);
  s->cut = true;
  std::fprintf(stderr, "cutfs: power cut: %d files lose data, %d folders lose names\n", data, names);
  fuse_exit(fuse_get_context()->fuse);
}

// --- The operations -----------------------------------------------------------------------

#define LIVE_OR_EIO(s) \
  State* s = st();     \
  if (s->cut) return -EIO

void fill_stat(const Node& n, struct stat* sb) {
  std::memset(sb, 0, sizeof *sb);
  sb->st_ino = n.ino;
  sb->st_mode = (n.dir ? S_IFDIR : n.link ? S_IFLNK : S_IFREG) | n.mode;
  sb->st_nlink = n.dir ? 2 : n.nlink;
  sb->st_uid = ::getuid();
  sb->st_gid = ::getgid();
  sb->st_size = n.dir ? 4096 : static_cast<off_t>(n.data.size());
  sb->st_blksize = 4096;
  sb->st_blocks = (sb->st_size + 511) / 512;
  sb->st_mtim = sb->st_ctim = sb->st_atim = n.mtime;
}

int op_getattr(const char* path, struct stat* sb, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = path && std::strcmp(path, kControl) == 0 ? s->control : node_of(s, path, fi);
  if (!n) return -ENOENT;
  fill_stat(*n, sb);
  return 0;
}

int op_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info* fi,
               enum fuse_readdir_flags) {
  LIVE_OR_EIO(s);
  NodeP d = node_of(s, path, fi);
  if (!d) return -ENOENT;
  if (!d->dir) return -ENOTDIR;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (auto& [name, n] : d->kids) {
    struct stat sb;
    fill_stat(*n, &sb);
    fill(buf, name.c_str(), &sb, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

int add_name(State* s, const char* path, const NodeP& n) {
  std::string name;
  NodeP p = parent_of(s, path, &name);
  if (!p) return -ENOENT;
  if (p->kids.count(name)) return -EEXIST;
  p->kids[name] = n;
  ++n->nlink;
  p->mtime = now();
  return 0;
}

int op_mkdir(const char* path, mode_t mode) {
  LIVE_OR_EIO(s);
  return add_name(s, path, make_node(s, true, mode));
}

int op_create(const char* path, mode_t mode, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = make_node(s, false, mode);
  int rc = add_name(s, path, n);
  if (rc == 0) hold(fi, n);
  return rc;
}

int op_symlink(const char* target, const char* path) {
  LIVE_OR_EIO(s);
  NodeP n = make_node(s, false, 0777);
  n->link = true;
  n->data = n->durable_data = target;
  return add_name(s, path, n);
}

int op_readlink(const char* path, char* buf, size_t size) {
  LIVE_OR_EIO(s);
  NodeP n = lookup(s, path);
  if (!n) return -ENOENT;
  if (!n->link) return -EINVAL;
  if (size == 0) return -EINVAL;
  const size_t len = std::min(size - 1, n->data.size());
  std::memcpy(buf, n->data.data(), len);
  buf[len] = '\0';
  return 0;
}

int op_link(const char* from, const char* to) {
  LIVE_OR_EIO(s);
  NodeP n = lookup(s, from);
  if (!n) return -ENOENT;
  if (n->dir) return -EPERM;
  return add_name(s, to, n);
}

int remove_name(const char* path, bool want_dir) {
  LIVE_OR_EIO(s);
  std::string name;
  NodeP p = parent_of(s, path, &name);
  if (!p) return -ENOENT;
  auto it = p->kids.find(name);
  if (it == p->kids.end()) return -ENOENT;
  if (it->second->dir != want_dir) return want_dir ? -ENOTDIR : -EISDIR;
  if (want_dir && !it->second->kids.empty()) return -ENOTEMPTY;
  --it->second->nlink;
  p->kids.erase(it);
  p->mtime = now();
  return 0;
}

int op_unlink(const char* path) { return remove_name(path, false); }
int op_rmdir(const char* path) { return remove_name(path, true); }

int op_rename(const char* from, const char* to, unsigned int flags) {
  LIVE_OR_EIO(s);
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
  std::string fname, tname;
  NodeP fp = parent_of(s, from, &fname), tp = parent_of(s, to, &tname);
  if (!fp || !tp) return -ENOENT;
  auto it = fp->kids.find(fname);
  if (it == fp->kids.end()) return -ENOENT;
  NodeP n = it->second;
  // A folder cannot move below itself.
  if (n->dir && std::string(to).rfind(std::string(from) + "/", 0) == 0) return -EINVAL;
  auto old = tp->kids.find(tname);
  if (old != tp->kids.end()) {
    if (old->second == n) return 0;
    if (flags & RENAME_NOREPLACE) return -EEXIST;
    if (old->second->dir != n->dir) return n->dir ? -ENOTDIR : -EISDIR;
    if (old->second->dir && !old->second->kids.empty()) return -ENOTEMPTY;
    --old->second->nlink;
  }
  fp->kids.erase(fname);
  tp->kids[tname] = n;
  fp->mtime = tp->mtime = now();
  return 0;
}

int op_chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = node_of(s, path, fi);
  if (!n) return -ENOENT;
  n->mode = mode & 07777;
  return 0;
}

int op_chown(const char*, uid_t, gid_t, struct fuse_file_info*) { return st()->cut ? -EIO : 0; }

int op_truncate(const char* path, off_t size, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = path && std::strcmp(path, kControl) == 0 ? s->control : node_of(s, path, fi);
  if (!n) return -ENOENT;
  if (n->dir) return -EISDIR;
  if (size < 0) return -EINVAL;
  n->data.resize(static_cast<size_t>(size));
  n->mtime = now();
  return 0;
}

int op_utimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = node_of(s, path, fi);
  if (!n) return -ENOENT;
  if (tv && tv[1].tv_nsec != UTIME_OMIT) n->mtime = tv[1].tv_nsec == UTIME_NOW ? now() : tv[1];
  else if (!tv) n->mtime = now();
  return 0;
}

int op_open(const char* path, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  if (std::strcmp(path, kControl) == 0) {
    fi->direct_io = 1;
    hold(fi, s->control);
    return 0;
  }
  NodeP n = lookup(s, path);
  if (!n) return -ENOENT;
  if (n->dir) return -EISDIR;
  if (fi->flags & O_TRUNC) n->data.clear();
  hold(fi, n);
  return 0;
}

int op_opendir(const char* path, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = lookup(s, path);
  if (!n) return -ENOENT;
  if (!n->dir) return -ENOTDIR;
  hold(fi, n);
  return 0;
}

int op_release(const char*, struct fuse_file_info* fi) {
  if (fi->fh) drop(fi);
  return 0;
}

int op_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = node_of(s, path, fi);
  if (!n) return -ENOENT;
  if (off < 0) return -EINVAL;
  size_t at = static_cast<size_t>(off);
  if (at >= n->data.size()) return 0;
  size_t len = std::min(size, n->data.size() - at);
  std::memcpy(buf, n->data.data() + at, len);
  return static_cast<int>(len);
}

int op_write(const char* path, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = node_of(s, path, fi);
  if (!n) return -ENOENT;
  if (n == s->control) {
    std::string cmd(buf, size);
    if (cmd.rfind("cut", 0) == 0) cut(s);
    else if (cmd.rfind("sync", 0) == 0) sync_all(s);
    else return -EINVAL;
    return static_cast<int>(size);
  }
  if (off < 0) return -EINVAL;
  size_t at = (fi->flags & O_APPEND) ? n->data.size() : static_cast<size_t>(off);
  if (n->data.size() < at + size) n->data.resize(at + size);
  std::memcpy(&n->data[at], buf, size);
  n->mtime = now();
  return static_cast<int>(size);
}

int op_fsync(const char* path, int datasync, struct fuse_file_info* fi) {
  LIVE_OR_EIO(s);
  NodeP n = node_of(s, path, fi);
  if (!n) return -ENOENT;
  if (n->dir) n->durable_kids = n->kids;
  else n->durable_data = n->data;
  if (!datasync) commit_names(s, n);
  return 0;
}

int op_statfs(const char*, struct statvfs* sv) {
  LIVE_OR_EIO(s);
  return ::statvfs(s->backing.c_str(), sv) == 0 ? 0 : -errno;
}

void* op_init(struct fuse_conn_info*, struct fuse_config* cfg) {
  cfg->use_ino = 1;
  cfg->hard_remove = 1;  // no ".fuse_hidden" names for open files that were removed
  cfg->nullpath_ok = 1;
  cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

void op_destroy(void* data) {
  State* s = static_cast<State*>(data);
  if (!s->cut) sync_all(s);
}

struct fuse_operations operations() {
  struct fuse_operations o {};
  o.getattr = op_getattr;
  o.mkdir = op_mkdir;
  o.unlink = op_unlink;
  o.rmdir = op_rmdir;
  o.rename = op_rename;
  o.link = op_link;
  o.symlink = op_symlink;
  o.readlink = op_readlink;
  o.chmod = op_chmod;
  o.chown = op_chown;
  o.truncate = op_truncate;
  o.open = op_open;
  o.read = op_read;
  o.write = op_write;
  o.statfs = op_statfs;
  o.release = op_release;
  o.fsync = op_fsync;
  o.opendir = op_opendir;
  o.readdir = op_readdir;
  o.releasedir = op_release;
  o.fsyncdir = op_fsync;
  o.init = op_init;
  o.destroy = op_destroy;
  o.create = op_create;
  o.utimens = op_utimens;
  return o;
}

}  // namespace

int cutfs_main(int argc, char** argv) {
  State s;
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--manifest") == 0) {
    s.manifest = argv[i + 1];
    i += 2;
  }
  if (argc - i != 2) {
    std::fprintf(stderr, "usage: cutfs [--manifest FILE] BACKING MOUNTPOINT\n");
    return 2;
  }
  s.backing = argv[i];
  std::string mountpoint = argv[i + 1];
  s.root = make_node(&s, true, 0755);
  s.control = make_node(&s, false, 0600);
  s.control->nlink = 1;
  std::string err;
  if (!load(&s, s.backing, s.root, &err)) {
    std::fprintf(stderr, "cutfs: cannot read %s: %s\n", s.backing.c_str(), err.c_str());
    return 1;
  }
  // Single-threaded: every operation, and the cut, happen in one order.
  const char* fargv[] = {"cutfs", "-o", "fsname=cutfs,default_permissions", nullptr};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fargv));
  struct fuse_operations ops = operations();
  struct fuse* f = fuse_new(&args, &ops, sizeof ops, &s);
  if (!f) return 1;
  if (fuse_mount(f, mountpoint.c_str()) != 0) {
    std::fprintf(stderr, "cutfs: cannot mount %s\n", mountpoint.c_str());
    fuse_destroy(f);
    return 3;
  }
  fuse_set_signal_handlers(fuse_get_session(f));
  int rc = fuse_loop(f);
  fuse_remove_signal_handlers(fuse_get_session(f));
  fuse_unmount(f);
  fuse_destroy(f);
  fuse_opt_free_args(&args);
  return rc == 0 ? 0 : 1;
}

}  // namespace testkit
