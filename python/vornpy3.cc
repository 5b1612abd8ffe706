/* vornpy3.cc - the Python 3 pieces of the vorn module: its entry point
 * PyInit_vorn, and io file objects for requestfile and notifier. */

#include "vorncompat.h"

#include <errno.h>
#include <unistd.h>

#define VORN_EXPORT __attribute__((visibility("default")))

extern "C" {
VORN_EXPORT PyObject *PyInit_vorn(void);
}

/* Closes an io object on a failure path, keeping the pending exception. */
static void closeQuietly(PyObject *obj)
{
    PyObject *type, *value, *tb, *result;

    PyErr_Fetch(&type, &value, &tb);
    result = PyObject_CallMethod(obj, "close", NULL);
    Py_XDECREF(result);
    PyErr_Restore(type, value, tb);
}

/* The text file that open(path, "r") would give, over the descriptor: a
 * FileIO that owns it, under a BufferedReader and a TextIOWrapper, with the
 * name and mode "r".  FileIO does not close a descriptor that it refuses
 * (a directory), so that one is closed here; once the FileIO exists, it is
 * the descriptor's only owner. */
PyObject *fileFromDescriptor(int fd, const char *name)
{
    PyObject *io, *raw = NULL, *buffered = NULL, *text = NULL, *value;
    int err;

    io = PyImport_ImportModule("io");
    if (!io) {
        close(fd);
        return NULL;
    }
    raw = PyObject_CallMethod(io, "FileIO", "isi", fd, "r", 1);
    if (!raw) {
        err = errno;
        close(fd);
        errno = err;
        goto out;
    }
    value = PyUnicode_DecodeFSDefault(name);
    if (!value || PyObject_SetAttrString(raw, "name", value) != 0) {
        Py_XDECREF(value);
        goto fail;
    }
    Py_DECREF(value);
    buffered = PyObject_CallMethod(io, "BufferedReader", "O", raw);
    if (!buffered)
        goto fail;
    text = PyObject_CallMethod(io, "TextIOWrapper", "O", buffered);
    if (!text)
        goto fail;
    value = PyUnicode_FromString("r");
    if (!value || PyObject_SetAttrString(text, "mode", value) != 0) {
        Py_XDECREF(value);
        Py_CLEAR(text);
        goto fail;
    }
    Py_DECREF(value);
    goto out;

fail:
    closeQuietly(raw);
out:
    Py_XDECREF(buffered);
    Py_XDECREF(raw);
    Py_DECREF(io);
    return text;
}

static struct PyModuleDef vornModule = {
    PyModuleDef_HEAD_INIT, "vorn", vornModuleDoc, -1, VornMethods, NULL, NULL, NULL, NULL,
};

PyObject *PyInit_vorn(void)
{
    PyObject *module;

    module = PyModule_Create(&vornModule);
    if (!module)
        return NULL;
    enterConstants(PyModule_GetDict(module));
    return module;
}
