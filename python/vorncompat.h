/* vorncompat.h - what differs between the Python 2 and the Python 3 build
 * of the vorn module: int and text objects, path arguments, the fork
 * hooks, and the two pieces kept in a file per interpreter.  The Python 3
 * build uses the stable ABI of 3.7 (Py_LIMITED_API, set by the build), so
 * one vorn.abi3.so serves every Python 3 from 3.7 on: element access goes
 * through functions, never through the macros that read object layouts. */
#ifndef VORN_PYTHON_VORNCOMPAT_H
#define VORN_PYTHON_VORNCOMPAT_H

#include <Python.h>

#include <string.h>

#if PY_MAJOR_VERSION >= 3
#define VORN_PY3 1
#if PY_VERSION_HEX < 0x03070000
#error "the vorn module needs Python 3.7 or later"
#endif
#define PyInt_Type PyLong_Type
#define PyInt_FromLong PyLong_FromLong
#define PyInt_AsLong PyLong_AsLong
#else
#define VORN_PY3 0
#endif

/* A function's docstring opens with its signature line under Python 3,
 * which takes it for __text_signature__ (help() and inspect.signature)
 * and shows the rest as __doc__; Python 2 would show it raw, so there the
 * docstring is the text alone. */
#if VORN_PY3
#define DOC_SIGNATURE(sig, text) sig "\n--\n\n" text
#else
#define DOC_SIGNATURE(sig, text) text
#endif

/* ------------------------------------------------------------------ */
/* Text                                                                */
/* ------------------------------------------------------------------ */

/* Whether obj is text that the library can take: a str under Python 2;
 * a str or bytes under Python 3. */
static inline int isText(PyObject *obj)
{
#if VORN_PY3
    return PyObject_TypeCheck(obj, &PyUnicode_Type) || PyObject_TypeCheck(obj, &PyBytes_Type);
#else
    return PyObject_TypeCheck(obj, &PyString_Type);
#endif
}

/* The bytes of text that passed isText, as a new reference.  Python 3
 * encodes a str with the file-system encoding and refuses an embedded NUL
 * (ValueError), as its os functions do; Python 2 hands back the str
 * itself, whose text then ends at its first NUL. */
static inline PyObject *textBytes(PyObject *obj)
{
#if VORN_PY3
    PyObject *bytes;

    if (PyObject_TypeCheck(obj, &PyUnicode_Type)) {
        bytes = PyUnicode_EncodeFSDefault(obj);
        if (!bytes)
            return NULL;
    } else {
        Py_INCREF(obj);
        bytes = obj;
    }
    if (strlen(PyBytes_AsString(bytes)) != (size_t)PyBytes_Size(bytes)) {
        Py_DECREF(bytes);
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return NULL;
    }
    return bytes;
#else
    Py_INCREF(obj);
    return obj;
#endif
}

static inline const char *bytesText(PyObject *bytes)
{
#if VORN_PY3
    return PyBytes_AsString(bytes);
#else
    return PyString_AS_STRING(bytes);
#endif
}

static inline Py_ssize_t bytesSize(PyObject *bytes)
{
#if VORN_PY3
    return PyBytes_Size(bytes);
#else
    return PyString_GET_SIZE(bytes);
#endif
}

/* A text result from ASCII text the module made (addresses, state names). */
static inline PyObject *textFromString(const char *text)
{
#if VORN_PY3
    return PyUnicode_FromString(text);
#else
    return PyString_FromString(text);
#endif
}

/* A text result holding a file name from the library. */
static inline PyObject *textFromPath(const char *text)
{
#if VORN_PY3
    return PyUnicode_DecodeFSDefault(text);
#else
    return PyString_FromString(text);
#endif
}

/* A text result holding raw bytes of a record, one character per byte. */
static inline PyObject *textFromBytes(const char *bytes, Py_ssize_t size)
{
#if VORN_PY3
    return PyUnicode_DecodeLatin1(bytes, size, NULL);
#else
    return PyString_FromStringAndSize(bytes, size);
#endif
}

/* Whether obj is an environment mapping.  Python 3 counts lists among the
 * mapping types, so there a mapping must also have keys(), as for dict(). */
static inline int isMapping(PyObject *obj)
{
#if VORN_PY3
    return PyMapping_Check(obj) && PyObject_HasAttrString(obj, "keys");
#else
    return PyMapping_Check(obj);
#endif
}

/* ------------------------------------------------------------------ */
/* Path arguments                                                      */
/* ------------------------------------------------------------------ */

/* A path argument held for a whole call.  Python 2 parses it with "s" and
 * pathHold keeps a copy, so that Python code run by later conversions
 * cannot free the text; Python 3 parses it with the file-system converter
 * (str, bytes or a path-like object), which already gives bytes of its own. */
struct pathArg {
    PyObject *obj;
    const char *text;
};

#if VORN_PY3
#define PATH_FORMAT "O&"
#define PATH_ARG(p) PyUnicode_FSConverter, &(p).obj
#else
#define PATH_FORMAT "s"
#define PATH_ARG(p) &(p).text
#endif

/* After a successful parse: the path's text, or null with an exception. */
static inline const char *pathHold(struct pathArg *p)
{
#if !VORN_PY3
    p->obj = PyString_FromString(p->text);
    if (!p->obj)
        return NULL;
#endif
    p->text = bytesText(p->obj);
    return p->text;
}

static inline void pathRelease(struct pathArg *p)
{
    Py_CLEAR(p->obj);
}

/* ------------------------------------------------------------------ */
/* Forking, as os.fork does around fork()                              */
/* ------------------------------------------------------------------ */

/* Before: take the import lock (and, under Python 3, run the
 * os.register_at_fork hooks), so that no child sees a module that another
 * thread is half-way through importing. */
static inline void forkBefore(void)
{
#if VORN_PY3
    PyOS_BeforeFork();
#else
    _PyImport_AcquireLock();
#endif
}

/* In the parent, whether the call forked or failed: 0, or -1 with
 * RuntimeError when the import lock was not held. */
static inline int forkAfterParent(void)
{
#if VORN_PY3
    PyOS_AfterFork_Parent();
    return 0;
#else
    if (_PyImport_ReleaseLock() < 0) {
        PyErr_SetString(PyExc_RuntimeError, "not holding the import lock");
        return -1;
    }
    return 0;
#endif
}

/* In a child: the interpreter forgets the other threads and resets the
 * import lock. */
static inline void forkAfterChild(void)
{
#if VORN_PY3
    PyOS_AfterFork_Child();
#else
    PyOS_AfterFork();
#endif
}

/* ------------------------------------------------------------------ */
/* Shared between vornmodule.cc and the file of each interpreter       */
/* ------------------------------------------------------------------ */

/* vornmodule.cc: the method table, the module's docstring, the constants
 * and __version__ entered into the module's dictionary (which also sets
 * the module's fork handlers, once), and the error-from-errno rule (always
 * null). */
extern PyMethodDef VornMethods[];
extern const char vornModuleDoc[]; /* Python 3 only */
void enterConstants(PyObject *dict);
PyObject *setError(void);

/* vornpy2.cc or vornpy3.cc: a file object for reading that owns the
 * descriptor, with the given name and mode "r"; the descriptor is closed
 * on every failure path. */
PyObject *fileFromDescriptor(int fd, const char *name);

#endif
