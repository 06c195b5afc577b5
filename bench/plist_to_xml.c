/* The whole-process yardstick for `ruvo-tool bplist FILE`: reads a binary property list, converts
 * it with libplist alone (plist_from_bin, plist_to_xml), writes the XML to standard output and
 * frees everything. usage: plist_to_xml FILE */
#include <plist/plist.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: plist_to_xml FILE\n", stderr);
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        perror(argv[1]);
        return 1;
    }
    size_t capacity = 1 << 16, length = 0;
    char* bytes = malloc(capacity);
    for (;;) {
        if (!bytes) {
            fputs("plist_to_xml: out of memory\n", stderr);
            fclose(in);
            return 1;
        }
        length += fread(bytes + length, 1, capacity - length, in);
        if (length < capacity) break;
        capacity *= 2;
        char* larger = realloc(bytes, capacity);
        if (!larger) free(bytes);
        bytes = larger;
    }
    const int failed = ferror(in);
    fclose(in);
    if (failed || length > UINT32_MAX) {
        fprintf(stderr, "plist_to_xml: cannot read %s\n", argv[1]);
        free(bytes);
        return 1;
    }

    plist_t root = NULL;
    plist_from_bin(bytes, (uint32_t)length, &root);
    free(bytes);
    if (!root) {
        fprintf(stderr, "plist_to_xml: %s is not a binary property list\n", argv[1]);
        return 1;
    }
    char* xml = NULL;
    uint32_t xmlLength = 0;
    plist_to_xml(root, &xml, &xmlLength);
    plist_free(root);
    if (!xml) {
        fputs("plist_to_xml: no XML\n", stderr);
        return 1;
    }
    const int written = fwrite(xml, 1, xmlLength, stdout) == xmlLength && fflush(stdout) == 0;
    plist_to_xml_free(xml);
    return written ? 0 : 1;
}
