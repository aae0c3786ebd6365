#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "unix_file.h"

extern "C" const char aDIR_PATH_SEP[] = "/";

namespace {

bool sPathUsable(const char* path) {
  return path && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool sIsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/* mkdir where an existing entry counts as success. */
bool sMakeLevel(const std::string& path, uint32_t mode) {
  return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

bool sIsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool sOverlaps(const char* component, const char* destination, size_t size) {
  return component >= destination && component < destination + (size ? size : 1);
}

}  // namespace

extern "C" {

bool aDirectory_Exists(const char* path) {
  return sPathUsable(path) && sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
  if (!path || path[0] == '\0') return aErrParam;
  if (!sPathUsable(path)) return aErrFileNameLength;
  const std::string full(path);
  if (sIsDirectory(full)) return aErrNone;

  /* Find the longest existing directory prefix, cutting at separators. */
  const char sep = aDIR_PATH_SEP[0];
  size_t start = 0;  // where the first missing level begins
  std::string prefix = full;
  for (;;) {
    std::string::size_type cut = prefix.rfind(sep);
    if (cut == std::string::npos) break;  // nothing exists: start at the first component
    prefix.resize(cut);
    if (prefix.empty() || sIsDirectory(prefix)) {
      start = cut + 1;
      break;
    }
  }

  /* Create each missing level in order, then the path itself. */
  for (size_t pos = full.find(sep, start); pos != std::string::npos;
       pos = full.find(sep, pos + 1)) {
    if (!sMakeLevel(full.substr(0, pos), mode)) return aErrPermission;
  }
  if (!sMakeLevel(full, mode)) return aErrPermission;
  /* "Exists" is only success when what exists is a directory. */
  return sIsDirectory(full) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference) {
  if (!path || !callback) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;
  char entryPath[aDIRECTORY_LIST_PATH_SIZE];
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    /* An entry whose path does not fit is skipped like one without status. */
    if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) !=
        aErrNone)
      continue;
    struct stat st;
    if (stat(entryPath, &st) != 0) continue;
    aDirectoryListData data;
    data.path = entryPath;
    data.size = static_cast<uint32_t>(st.st_size);
    data.isDirectory = S_ISDIR(st.st_mode) ? 1u : 0u;
    if (!callback(&data, reference)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (!path) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (!path) return aErrParam;
  DIR* dir = opendir(path);
  if (!dir) return aErrNotFound;
  aErr err = aErrNone;
  char entryPath[aDIRECTORY_LIST_PATH_SIZE];
  struct dirent* entry;
  while (err == aErrNone && (entry = readdir(dir)) != NULL) {
    if (sIsDotEntry(entry->d_name)) continue;
    if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) !=
        aErrNone) {
      err = aErrUnknown;
      break;
    }
    /* lstat: a link to a directory is removed as a link, never followed
     * out of the tree. */
    struct stat st;
    if (lstat(entryPath, &st) == 0 && S_ISDIR(st.st_mode)) {
      err = aDirectory_DeleteTree(entryPath);
    } else if (unlink(entryPath) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", entryPath);
      fflush(stdout);
      err = aErrUnknown;
    }
  }
  closedir(dir);
  if (err != aErrNone) return err;
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  buffer[0] = '\0';
  std::string home;
  long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string scratch(bufferSize > 0 ? static_cast<size_t>(bufferSize) : 16384, '\0');
  struct passwd entry;
  struct passwd* found = NULL;
  if (getpwuid_r(getuid(), &entry, &scratch[0], scratch.size(), &found) == 0 && found &&
      found->pw_dir && found->pw_dir[0] != '\0') {
    home = found->pw_dir;
  } else if (const char* env = getenv("HOME")) {
    home = env;
  }
  if (home.empty()) return aErrNotFound;
  /* A cut-off home path would name another directory: hand out nothing. */
  if (home.size() >= size) return aErrOverrun;
  memcpy(buffer, home.c_str(), home.size() + 1);
  return aErrNone;
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
  if (!destination || size == 0 || !first) return aErrParam;
  const char* components[aDIRECTORY_MAX_COMPONENTS];
  size_t count = 0;
  bool tooMany = false;
  va_list args;
  va_start(args, first);
  for (const char* c = first; c; c = va_arg(args, const char*)) {
    if (count == aDIRECTORY_MAX_COMPONENTS) {
      tooMany = true;
      break;
    }
    components[count++] = c;
  }
  va_end(args);
  /* The destination must not feed the join it is written by. */
  for (size_t i = 0; i < count; ++i)
    if (sOverlaps(components[i], destination, size)) return aErrParam;
  destination[0] = '\0';
  if (tooMany) return aErrParam;

  const char sep = aDIR_PATH_SEP[0];
  const size_t sepLength = strlen(aDIR_PATH_SEP);
  size_t length = strlen(first);
  if (length + 1 >= size) return aErrOverrun;
  memcpy(destination, first, length + 1);
  for (size_t i = 1; i < count; ++i) {
    const char* component = components[i];
    size_t room = size - length - 1;
    if (room > 1 && (length == 0 || destination[length - 1] != sep) && component[0] != sep) {
      memcpy(destination + length, aDIR_PATH_SEP, sepLength + 1);
      length += sepLength;
      room -= sepLength;
    }
    size_t componentLength = strlen(component);
    if (componentLength >= room) return aErrOverrun;
    memcpy(destination + length, component, componentLength + 1);
    length += componentLength;
  }
  return aErrNone;
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* first,
                         const char* second) {
  return aDirectory_BuildPath(destination, size, first, second, static_cast<const char*>(NULL));
}

}  // extern "C"
