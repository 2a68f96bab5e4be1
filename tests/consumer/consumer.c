/* A host written in C: the public header must compile as C with strict
 * prototypes, and both functions must link against the shared library.
 * The tests build it against the build tree; .ci/consumer.sh builds it
 * against an installed library, through find_package, pkg-config and
 * add_subdirectory. */
#include <stdio.h>
#include <string.h>

#include "mirelo.h"

#if !defined(MIRELO_VERSION_MAJOR) || !defined(MIRELO_VERSION_MINOR) || !defined(MIRELO_VERSION_PATCH)
#error "mirelo.h does not define its version"
#endif

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s PROJECT.xml LIBRARY.xml\n", argv[0]);
        return 2;
    }
    const char* libraries[1];
    libraries[0] = argv[2];
    const char* json = process_xml_file_to_json(argv[1], libraries, 1);
    if (json == NULL) {
        fprintf(stderr, "null result\n");
        return 1;
    }
    int ok = strncmp(json, "{\"node_type\":\"Root\"", 19) == 0;
    free_string((char*)json);
    free_string(NULL);
    if (!ok) {
        fprintf(stderr, "unexpected result\n");
        return 1;
    }
    printf("mirelo %d.%d.%d: the example calculated\n", MIRELO_VERSION_MAJOR, MIRELO_VERSION_MINOR,
           MIRELO_VERSION_PATCH);
    return 0;
}
