/* Directories and paths: existence, creation of whole trees, listing,
 * removal, and joining path components with the separator. */
#ifndef QUILLOMAT_ADIRECTORY_H
#define QUILLOMAT_ADIRECTORY_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The path separator, "/". Path code compares and appends its first
 * character. */
extern const char aDIR_PATH_SEP[];

/* Buffer size for the joined path of a listed entry. */
#define aDIRECTORY_LIST_PATH_SIZE 2048
/* Most components aDirectory_BuildPath joins (the first one included). */
#define aDIRECTORY_MAX_COMPONENTS 10

/* Handed to a listing callback for each entry. */
typedef struct aDirectoryListData {
  const char* path;     /* full path of the entry, valid during the call */
  uint32_t size;        /* size in bytes, truncated to 32 bits */
  uint32_t isDirectory; /* non-zero for a directory */
} aDirectoryListData;

/* Return false to stop the listing. */
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* data, void* reference);

/* True when the path exists and is a directory. */
bool aDirectory_Exists(const char* path);

/* Creates the directory and every missing level above it with the
 * permission bits `mode`; aErrPermission when a level cannot be made. */
aErr aDirectory_Ensure(const char* path, uint32_t mode);

/* Calls `callback` for each entry ("." and ".." included) whose status can
 * be read. aErrNotFound when the directory cannot be opened. */
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference);

/* Removes an empty directory; aErrUnknown on failure. */
aErr aDirectory_Delete(const char* path);

/* Removes a directory and everything below it. */
aErr aDirectory_DeleteTree(const char* path);

/* Current working directory; aErrParam when it does not fit. */
aErr aDirectory_CWD(char* buffer, size_t size);

/* Absolute path of the running program; aErrRead when unavailable. */
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

/* Home directory of the current user (password database, else "HOME"). */
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

/* Joins a null-terminated list of components (at most 10 in all), adding a
 * separator only where neither side of a join has one. aErrOverrun when the
 * result does not fit (the text built so far stays in `destination`). */
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...)
#if defined(__GNUC__)
    __attribute__((sentinel))
#endif
    ;

/* aDirectory_BuildPath with exactly two components. */
aErr aDirectory_JoinPath(char* destination, size_t size, const char* first,
                         const char* second);

#ifdef __cplusplus
}
#endif

#endif
