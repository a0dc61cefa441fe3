/* The prebuilt gSOAP runtime refers to a global "namespaces" table. Every
 * call context installs the library's own table (wire/namespaces.cpp), so
 * this one only satisfies the runtime's reference. */
#include <stddef.h>

struct Namespace {
    const char *id;
    const char *ns;
    const char *in;
    char *out;
};

struct Namespace namespaces[] = {{NULL, NULL, NULL, NULL}};
