/* A host program of the installed library: it includes only peloxImp.h and
 * links only libpeloxImp, found through pkg-config or the CMake package. */
#include <stdio.h>
#include <string.h>

#include "peloxImp.h"

int main(void) {
    char version[32];
    size_t n = 0;
    const pelox_char *text;
    int32_t status;
    int32_t string = peloxImp_createObject(PELOX_OBJECT_STRING);
    if (string == 0) {
        fprintf(stderr, "host: peloxImp_createObject failed\n");
        return 1;
    }
    status = pelox_getPeloxInfo(PELOX_INFO_VERSION, string);
    if (status != PELOX_OK) {
        fprintf(stderr, "host: pelox_getPeloxInfo answered %d\n", (int)status);
        return 1;
    }
    text = string_getText(string);
    if (text == NULL) {
        fprintf(stderr, "host: string_getText answered null\n");
        return 1;
    }
    /* The version is ASCII: narrow it for printing. */
    for (; text[n] != 0 && n + 1 < sizeof version; ++n) {
        if (text[n] > 0x7F) {
            fprintf(stderr, "host: the version is not ASCII\n");
            return 1;
        }
        version[n] = (char)text[n];
    }
    version[n] = '\0';
    printf("peloxImp %s\n", version);
    peloxImp_removeObject(PELOX_OBJECT_STRING, string);
    if (string_getText(string) != NULL) {
        fprintf(stderr, "host: the string outlived peloxImp_removeObject\n");
        return 1;
    }
    status = peloxImp_checkVersion("8.5.0.0");
    if (status != PELOX_OK) {
        fprintf(stderr, "host: peloxImp_checkVersion(\"8.5.0.0\") answered %d\n", (int)status);
        return 1;
    }
    return 0;
}
