/*
 * mirelo: life-cycle assessment of a building, as a shared library.
 *
 * The whole interface is these two functions. A call reads a project XML
 * file and any number of library XML files, calculates the environmental
 * indicators of the project's first building over its calculation period,
 * and returns the calculated tree as one compact JSON text.
 */
#ifndef MIRELO_H
#define MIRELO_H

#include <stddef.h>

/* The library's version. The shared library's name carries the major
 * version (libmirelo.so.MAJOR): a host built against one major version
 * loads any library of the same major version. */
#define MIRELO_VERSION_MAJOR 0
#define MIRELO_VERSION_MINOR 1
#define MIRELO_VERSION_PATCH 0

#define MIRELO_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Runs one calculation, synchronously.
 *
 * input_xml_path:           NUL-terminated UTF-8 path of the project file.
 * library_xml_paths:        array of library_xml_paths_length NUL-terminated
 *                           UTF-8 paths of library files (the generic database
 *                           among them), read in array order. May be NULL
 *                           when library_xml_paths_length is 0.
 * library_xml_paths_length: number of entries in library_xml_paths.
 *
 * The result is one of three kinds:
 *   - the JSON text of the calculated tree. A calculation error of a product
 *     is reported as one "Error: " line on standard error, and the partly
 *     calculated tree is still returned. An input file read only up to an
 *     XML or input/output error gives one "Error: " line naming the file and
 *     the place; the text is then built from the part before it;
 *   - the empty text "" when the calculation stopped (unreadable or
 *     inconsistent input, a missing record, a project without buildings, a
 *     result larger than the memory limit of the call, memory running out, a
 *     failed write of a "Skipping: " line to standard output); the reason is
 *     written as one "Error: " line on standard error, after the lines of
 *     any files read only in part;
 *   - NULL when the arguments themselves cannot be used: input_xml_path is
 *     NULL or not valid UTF-8, library_xml_paths is NULL while the length is
 *     not 0, or a library path is NULL or not valid UTF-8. Nothing is read
 *     then; the reason goes to standard error.
 *
 * Ownership: every non-NULL result, the empty text included, is allocated by
 * the library and belongs to the caller, who must release it exactly once with
 * free_string() below, never with the host's own free() or delete.
 *
 * Threads: each call creates one worker thread, runs on it and joins it before
 * returning. The worker blocks SIGPIPE, so a closed standard output ends the
 * call with the empty text instead of ending the host. Calls made at the same
 * time from several threads are safe and share nothing.
 */
MIRELO_EXPORT const char* process_xml_file_to_json(const char* input_xml_path, const char* const* library_xml_paths,
                                                   size_t library_xml_paths_length);

/*
 * Releases a text returned by process_xml_file_to_json(). NULL is accepted and
 * does nothing. Any other pointer must come unchanged from
 * process_xml_file_to_json() and must not have been released before. Safe to
 * call from any thread.
 */
MIRELO_EXPORT void free_string(char* p);

#ifdef __cplusplus
}
#endif

#endif /* MIRELO_H */
