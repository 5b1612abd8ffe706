// fuzz_numlist.cc - libFuzzer target: arbitrary text through str2numlist
// against an emulated cluster, a fresh node list for every input.
#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Mixed node states, so that the state filters find something.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vorn_nodesetstatus(1, VORN_NODE_DOWN);
    vorn_nodesetstatus(2, VORN_NODE_BOOT);
    vorn_nodesetstatus(5, VORN_NODE_ERROR);
    vorn_nodesetstatus(6, VORN_NODE_UNAVAILABLE);
    return 0;
}

// Ranges may be as long as their numbers allow, and the list grows 10
// entries at a time; keep the numbers small when the text can make a range
// so that one input cannot take seconds.
static bool bounded(const char *text)
{
    if (!strchr(text, '-'))
        return true;
    for (const char *p = text; *p; p++) {
        long v = strtol(p, nullptr, 0);
        if (v > 256 || v < -256)
            return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = static_cast<char *>(malloc(size + 1));
    if (!text)
        return 0;
    memcpy(text, data, size);
    text[size] = '\0';
    if (bounded(text)) {
        numlist nl{};
        int rc = str2numlist(&nl, text);
        if (rc != 0 && rc != -1)
            abort();
        if (nl.list && (nl.num < 0 || nl.num > nl.size || nl.size % 10 != 0))
            abort();
        free(nl.list);
    }
    free(text);
    return 0;
}
