/* vornpy2.cc - the Python 2 pieces of the vorn module: its entry point
 * initvorn, and file objects (PyFile_FromFile) for requestfile and notifier. */

#include "vorncompat.h"

#include <stdio.h>
#include <unistd.h>

#define VORN_EXPORT __attribute__((visibility("default")))

extern "C" {
VORN_EXPORT void initvorn(void);
}

PyObject *fileFromDescriptor(int fd, const char *name)
{
    FILE *fp;
    PyObject *file;

    fp = fdopen(fd, "r");
    if (!fp) {
        /* The exception reports the wrapping's error, then the descriptor
         * goes. */
        setError();
        close(fd);
        return NULL;
    }
    /* The file object gets its closing function only once it exists.
     * Made with none, the interpreter never closes the stream on a failed
     * creation (a directory, a name or mode that cannot be made), so the
     * stream is closed here exactly once.  Guessing afterwards whether the
     * interpreter closed it cannot work: it closes with the interpreter
     * lock released, and another thread may get the same descriptor
     * number before this one runs again. */
    file = PyFile_FromFile(fp, (char *)name, (char *)"r", NULL);
    if (!file) {
        fclose(fp);
        return NULL;
    }
    ((PyFileObject *)file)->f_close = fclose;
    return file;
}

void initvorn(void)
{
    PyObject *module;

    /* The interpreter's own API version, so that no version-mismatch
     * warning is printed on import. */
    module = Py_InitModule4("vorn", VornMethods, NULL, NULL, PYTHON_API_VERSION);
    if (!module)
        return;
    enterConstants(PyModule_GetDict(module));
}
