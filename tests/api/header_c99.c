/* The public header on its own, compiled as C99 with strict warnings. */
#include "peloxImp.h"

#include <stdio.h>

int main(void) {
    static const pelox_char version_text[] = {'8', '.', '5', 0};
    enum pelox_status ok = PELOX_OK;
    int32_t h = peloxImp_createObject(PELOX_OBJECT_STRING);
    int32_t size = -1;
    int32_t rc = peloxImp_getObjectSize(PELOX_OBJECT_STRING, h, &size);
    (void)version_text;
    peloxImp_removeObject(PELOX_OBJECT_STRING, h);
    if (h <= 0 || rc != ok || size != 0 || peloxImp_checkVersion("8.5") != 0) {
        printf("header_c99: unexpected results\n");
        return 1;
    }
    return 0;
}
