/* vornmodule.cc - the module "vorn", for Python 2 and Python 3: node
 * queries and control, process placement with I/O redirection, dumps, file
 * cache, library list.  vorncompat.h holds what differs between the two. */

#include "vorncompat.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <vorn/vorn.h>

#define VORN_EXPORT __attribute__((visibility("default")))

/* Besides the entry point of its interpreter's file, the shared object
 * exports this alone. */
extern "C" {
VORN_EXPORT int parseIOList(PyObject *obj, struct io_redirect **out);
}

/* Architecture codes published by the module. */
#define ARCH_X86 1
#define ARCH_ALPHA 2
#if defined(__x86_64__)
#define ARCH_THIS 5
#elif defined(__i386__)
#define ARCH_THIS ARCH_X86
#elif defined(__alpha__)
#define ARCH_THIS ARCH_ALPHA
#else
#error "no architecture code for this processor"
#endif

/* Request codes offered to Python programs. */
#define NODE_REBOOT 0x1000000
#define NODE_HALT 0x1000001
#define NODE_PWROFF 0x1000002

/* No heap product of the module may exceed the largest signed 32-bit size. */
#define MAX_ALLOC 2147483647UL

/* ------------------------------------------------------------------ */
/* The library lock                                                    */
/* ------------------------------------------------------------------ */

/* The cluster library keeps state for the whole process (its open
 * cluster, and record locks, which belong to the process, not the thread),
 * so no two threads may be inside it at once.  Every call holds this lock
 * and runs with the interpreter lock released (LIBRARY_CALL): other Python
 * threads go on while a call waits (a reboot, a lock wait, a placement),
 * and a thread that wants the library meanwhile waits for this lock alone.
 * The library lock is always taken without the interpreter lock, so the
 * two never wait for each other. */
static pthread_mutex_t libraryMutex = PTHREAD_MUTEX_INITIALIZER;
/* Whether this thread holds libraryMutex. */
static __thread int libraryHeld;

static void libraryEnter(void)
{
    pthread_mutex_lock(&libraryMutex);
    libraryHeld = 1;
}

static void libraryLeave(void)
{
    libraryHeld = 0;
    pthread_mutex_unlock(&libraryMutex);
}

/* In the child of a fork (os.fork, a subprocess, any other) the library
 * lock is free again, unless the forking thread itself holds it (rfork, or
 * the library's own forks), which then lets it go as it would have: the
 * thread that held it at the fork may be another one, which the child
 * does not have.  Forks do not wait for the library, so that starting a
 * program never waits for another thread's reboot. */
static void libraryForkChild(void)
{
    if (!libraryHeld)
        pthread_mutex_init(&libraryMutex, NULL);
}

static void libraryForkHandlers(void)
{
    pthread_atfork(NULL, NULL, libraryForkChild);
}

/* Enters the library for a fork through it (rfork, vrfork).  A fork keeps
 * the interpreter lock, as os.fork does: the child inherits it and the
 * interpreter's state whole.  The import lock is taken before the library
 * lock, in the order every thread takes them, and the library lock is
 * waited for with the interpreter lock released.  The caller leaves with
 * libraryLeave, then forkAfterChild or forkAfterParent. */
static void libraryForkEnter(void)
{
    PyThreadState *state;

    forkBefore();
    state = PyEval_SaveThread();
    libraryEnter();
    PyEval_RestoreThread(state);
}

/* Runs stmt, a library call, holding the library lock and with the
 * interpreter lock released; errno is kept across both locks. */
#define LIBRARY_CALL(stmt)                                                                         \
    do {                                                                                           \
        PyThreadState *libraryState_ = PyEval_SaveThread();                                        \
        int libraryErrno_;                                                                         \
        libraryEnter();                                                                            \
        stmt;                                                                                      \
        libraryErrno_ = errno;                                                                     \
        libraryLeave();                                                                            \
        PyEval_RestoreThread(libraryState_);                                                       \
        errno = libraryErrno_;                                                                     \
    } while (0)

/* ------------------------------------------------------------------ */
/* Conversions                                                         */
/* ------------------------------------------------------------------ */

/* Turns errno into the module's exception; always returns null.  Python 3
 * hands back the OSError subclass of the errno (FileNotFoundError, ...). */
PyObject *setError(void)
{
    if (errno == EINVAL)
        PyErr_SetString(PyExc_ValueError, "invalid node");
    else
        PyErr_SetFromErrno(PyExc_OSError);
    return NULL;
}

/* Heap allocation of count elements of size bytes, refused (null, ENOMEM)
 * past the size limit.  A zero count gets a one-byte block. */
static void *allocArray(size_t count, size_t size)
{
    if (count == 0)
        return malloc(1);
    if (count > MAX_ALLOC / size) {
        errno = ENOMEM;
        return NULL;
    }
    return malloc(count * size);
}

/* Whether the four numbers of a text that has the dotted-quad shape lie
 * in 0..255 as written.  sscanf's %d gives no defined value for a number
 * beyond an int (glibc keeps the low 32 bits, so 4294967306 would read as
 * 10); strtol reads each number the same way and reports the overflow. */
static int octetsInRange(const char *text)
{
    const char *p = text;
    char *end;
    long value;
    int i, ok = 1, err = errno;

    for (i = 0; i < 4 && ok; i++) {
        errno = 0;
        value = strtol(p, &end, 10);
        ok = errno != ERANGE && value >= 0 && value <= 255;
        p = end + 1;
    }
    errno = err;
    return ok;
}

/* Strict dotted-quad text to a heap IPv4 socket address. */
static struct sockaddr_in *parseIPString(const char *text)
{
    int a, b, c, d;
    char extra;
    struct sockaddr_in *addr;

    if (sscanf(text, "%d.%d.%d.%d%c", &a, &b, &c, &d, &extra) != 4 || a < 0 || a > 255 || b < 0 ||
        b > 255 || c < 0 || c > 255 || d < 0 || d > 255 || !octetsInRange(text)) {
        PyErr_SetString(PyExc_ValueError, "invalid ip");
        return NULL;
    }
    addr = (struct sockaddr_in *)calloc(1, sizeof(*addr));
    if (!addr) {
        PyErr_NoMemory();
        return NULL;
    }
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr =
        htonl(((uint32_t)a << 24) | ((uint32_t)b << 16) | ((uint32_t)c << 8) | (uint32_t)d);
    return addr;
}

/* The value of an int (its type already checked) as a C long; -1 with
 * OverflowError when it does not fit one. */
static int longValue(PyObject *obj, long *value)
{
    *value = PyInt_AsLong(obj);
    return *value == -1 && PyErr_Occurred() ? -1 : 0;
}

/* The value of an int for a signed 32-bit field.  A number that does not
 * fit raises OverflowError, as the argument parser does for "i": cut to
 * its low 32 bits it would name another descriptor or node. */
static int int32Value(PyObject *obj, int32_t *value)
{
    long v;

    if (longValue(obj, &v) != 0)
        return -1;
    if (v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return -1;
    }
    if (v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return -1;
    }
    *value = (int32_t)v;
    return 0;
}

/* The file form's inner tuple into the record; 0, or -1 with an exception. */
static int parseIOFile(PyObject *data, struct io_redirect *io)
{
    PyObject *item, *bytes;
    Py_ssize_t len;
    long offset;
    int rc = -1;

    if (!PyObject_TypeCheck(data, &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError,
                        "Fourth element of IO tuple should be a tuple for this type.");
        return -1;
    }
    if (PyTuple_Size(data) != 4) {
        PyErr_SetString(PyExc_ValueError, "IO file tuple must have four elements.");
        return -1;
    }
    if (!PyObject_TypeCheck(PyTuple_GetItem(data, 0), &PyInt_Type)) {
        PyErr_SetString(PyExc_TypeError, "First element of IO file tuple must be an int.");
        return -1;
    }
    if (!PyObject_TypeCheck(PyTuple_GetItem(data, 1), &PyInt_Type)) {
        PyErr_SetString(PyExc_TypeError, "Second element of IO file tuple must be an int.");
        return -1;
    }
    if (!PyObject_TypeCheck(PyTuple_GetItem(data, 2), &PyInt_Type)) {
        PyErr_SetString(PyExc_TypeError, "Third element of IO file tuple must be an int.");
        return -1;
    }
    item = PyTuple_GetItem(data, 3);
    if (!isText(item)) {
        PyErr_SetString(PyExc_TypeError, "Fourth element of IO file tuple must be a string.");
        return -1;
    }
    bytes = textBytes(item);
    if (!bytes)
        return -1;
    /* The object's own length, embedded NULs included. */
    len = bytesSize(bytes);
    if (len > 255) {
        PyErr_SetString(PyExc_ValueError,
                        "filename in IO file tuple must be less than 256 characters");
        goto out;
    }
    if (int32Value(PyTuple_GetItem(data, 0), &io->d.file.open_flags) != 0 ||
        int32Value(PyTuple_GetItem(data, 1), &io->d.file.open_mode) != 0 ||
        longValue(PyTuple_GetItem(data, 2), &offset) != 0)
        goto out;
    io->d.file.offset = offset;
    memcpy(io->d.file.name, bytesText(bytes), (size_t)len + 1);
    rc = 0;
out:
    Py_DECREF(bytes);
    return rc;
}

/* The socket form's address text into the record. */
static int parseIOSocket(PyObject *data, struct io_redirect *io)
{
    PyObject *bytes;
    struct sockaddr_in *addr;

    if (!isText(data)) {
        PyErr_SetString(PyExc_ValueError,
                        "Fourth element of IO tuple should be a string for this type.");
        return -1;
    }
    bytes = textBytes(data);
    if (!bytes)
        return -1;
    addr = parseIPString(bytesText(bytes));
    Py_DECREF(bytes);
    if (!addr)
        return -1;
    memcpy(&io->d.addr, addr, sizeof(io->d.addr));
    free(addr);
    return 0;
}

/* One IO tuple to a heap redirection record:
 *   (fd, IO_FILE, send_header, (open_flags, open_mode, offset, name))
 *   (fd, IO_SOCKET, send_header, "a.b.c.d") */
static struct io_redirect *parseIOObj(PyObject *obj)
{
    struct io_redirect *io;
    long type, send_header;
    int rc;

    if (!PyObject_TypeCheck(obj, &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "Tuple expected");
        return NULL;
    }
    if (PyTuple_Size(obj) != 4) {
        PyErr_SetString(PyExc_ValueError, "IO Tuple must have 4 elements.");
        return NULL;
    }
    if (!PyObject_TypeCheck(PyTuple_GetItem(obj, 0), &PyInt_Type)) {
        PyErr_SetString(PyExc_TypeError, "First element of IO tuple must be an int.");
        return NULL;
    }
    if (!PyObject_TypeCheck(PyTuple_GetItem(obj, 1), &PyInt_Type)) {
        PyErr_SetString(PyExc_TypeError, "Second element of IO tuple must be an int.");
        return NULL;
    }
    if (!PyObject_TypeCheck(PyTuple_GetItem(obj, 2), &PyInt_Type)) {
        PyErr_SetString(PyExc_TypeError, "Third element of IO tuple must be an int.");
        return NULL;
    }

    io = (struct io_redirect *)calloc(1, sizeof(*io));
    if (!io) {
        PyErr_NoMemory();
        return NULL;
    }
    /* The kind and the header flag are their low bits; the descriptor
     * must fit its field. */
    if (int32Value(PyTuple_GetItem(obj, 0), &io->fd) != 0 ||
        longValue(PyTuple_GetItem(obj, 1), &type) != 0 ||
        longValue(PyTuple_GetItem(obj, 2), &send_header) != 0) {
        free(io);
        return NULL;
    }
    io->type = (unsigned long)type & 3;
    io->send_header = (unsigned long)send_header & 1;

    switch (io->type) {
    case IO_FILE:
        rc = parseIOFile(PyTuple_GetItem(obj, 3), io);
        break;
    case IO_SOCKET:
        rc = parseIOSocket(PyTuple_GetItem(obj, 3), io);
        break;
    default:
        PyErr_SetString(PyExc_ValueError, "Invalid IO type");
        rc = -1;
        break;
    }
    if (rc != 0) {
        free(io);
        return NULL;
    }
    return io;
}

/* A list of IO tuples, or one IO tuple, to a heap array of records in
 * *out; returns the record count, or -1 with an exception set. */
int parseIOList(PyObject *obj, struct io_redirect **out)
{
    struct io_redirect *list, *io;
    Py_ssize_t n, i;

    if (!PyObject_TypeCheck(obj, &PyList_Type)) {
        io = parseIOObj(obj);
        if (!io)
            return -1;
        *out = io;
        return 1;
    }

    n = PyList_Size(obj);
    list = (struct io_redirect *)allocArray((size_t)n, sizeof(*list));
    if (!list) {
        PyErr_NoMemory();
        return -1;
    }
    for (i = 0; i < n; i++) {
        io = parseIOObj(PyList_GetItem(obj, i));
        if (!io) {
            free(list);
            return -1;
        }
        memcpy(&list[i], io, sizeof(*io));
        free(io);
    }
    *out = list;
    return (int)n;
}

/* A tuple or list of text to a heap argument vector that points into the
 * bytes of the elements.  *hold receives a tuple that owns those bytes: a
 * sequence type whose indexing makes new strings (and, under Python 3,
 * every str, which is encoded) must not leave the vector pointing at freed
 * text, so the holder lives as long as the vector (release both with
 * freeArgv). */
static char **parseArgv(PyObject *obj, PyObject **hold)
{
    Py_ssize_t n, i;
    PyObject *item, *bytes, *keep;
    char **argv;

    if (!PyObject_TypeCheck(obj, &PyTuple_Type) && !PyObject_TypeCheck(obj, &PyList_Type)) {
        PyErr_SetString(PyExc_TypeError, "argv must be a tuple or list");
        return NULL;
    }
    n = PySequence_Size(obj);
    if (n < 0)
        return NULL;
    argv = (char **)allocArray((size_t)n + 1, sizeof(char *));
    if (!argv) {
        PyErr_NoMemory();
        return NULL;
    }
    keep = PyTuple_New(n);
    if (!keep) {
        free(argv);
        return NULL;
    }
    for (i = 0; i < n; i++) {
        item = PySequence_GetItem(obj, i);
        if (!item)
            goto fail;
        if (!isText(item)) {
            Py_DECREF(item);
            PyErr_SetString(PyExc_TypeError, "argv must be a list of strings");
            goto fail;
        }
        bytes = textBytes(item);
        Py_DECREF(item);
        if (!bytes)
            goto fail;
        PyTuple_SetItem(keep, i, bytes);
        argv[i] = (char *)bytesText(bytes);
    }
    argv[n] = NULL;
    *hold = keep;
    return argv;

fail:
    Py_DECREF(keep);
    free(argv);
    return NULL;
}

static void freeArgv(char **argv, PyObject *hold)
{
    free(argv);
    Py_XDECREF(hold);
}

static void freeEnvp(char **envp)
{
    char **p;

    if (!envp)
        return;
    for (p = envp; *p; p++)
        free(*p);
    free(envp);
}

/* One "key=value" heap string of the environment, or null with an
 * exception.  The key is tested first. */
static char *envEntry(PyObject *key, PyObject *value)
{
    PyObject *kbytes, *vbytes = NULL;
    const char *ktext, *vtext;
    char *entry = NULL;
    size_t klen, vlen, size;

    if (!isText(key)) {
        PyErr_SetString(PyExc_TypeError, "non-string key in env");
        return NULL;
    }
    if (!isText(value)) {
        PyErr_SetString(PyExc_TypeError, "non-string value in env");
        return NULL;
    }
    kbytes = textBytes(key);
    if (!kbytes)
        return NULL;
    vbytes = textBytes(value);
    if (!vbytes)
        goto out;
    ktext = bytesText(kbytes);
    vtext = bytesText(vbytes);
    klen = strlen(ktext);
    vlen = strlen(vtext);
    size = klen + vlen + 2;
    entry = size > MAX_ALLOC ? NULL : (char *)malloc(size);
    if (!entry) {
        PyErr_NoMemory();
        goto out;
    }
    /* "%s=%s" */
    memcpy(entry, ktext, klen);
    entry[klen] = '=';
    memcpy(entry + klen + 1, vtext, vlen + 1);
out:
    Py_XDECREF(vbytes);
    Py_DECREF(kbytes);
    return entry;
}

/* A mapping of text to text to a heap environment vector of "key=value"
 * heap strings; the vector owns its entries (release with freeEnvp).
 * The mapping is read as dict() reads one: its keys() (a list, tuple,
 * view or any iterable) taken whole into a list of our own, then each
 * value by key, so every entry that is there is taken, whatever the
 * mapping's len() says. */
static char **parseEnvp(PyObject *obj)
{
    Py_ssize_t n, i = 0;
    PyObject *keys, *list, *value;
    char **envp = NULL;

    if (!isMapping(obj)) {
        PyErr_SetString(PyExc_TypeError, "env must be mapping object");
        return NULL;
    }
    keys = PyMapping_Keys(obj);
    if (!keys)
        return NULL;
    list = PySequence_List(keys);
    Py_DECREF(keys);
    if (!list)
        return NULL;
    n = PyList_Size(list);
    envp = (char **)allocArray((size_t)n + 1, sizeof(char *));
    if (!envp) {
        PyErr_NoMemory();
        goto fail;
    }
    for (i = 0; i < n; i++) {
        value = PyObject_GetItem(obj, PyList_GetItem(list, i));
        if (!value)
            goto fail;
        envp[i] = envEntry(PyList_GetItem(list, i), value);
        Py_DECREF(value);
        if (!envp[i])
            goto fail;
    }
    envp[n] = NULL;
    Py_DECREF(list);
    return envp;

fail:
    /* Entries i - 1 down to 0, the vector, then the keys. */
    while (envp && i > 0)
        free(envp[--i]);
    free(envp);
    Py_DECREF(list);
    return NULL;
}

/* A 32-bit IPv4 address in network byte order as a new str. */
static PyObject *makeip(uint32_t addr)
{
    char text[16];
    uint32_t h = ntohl(addr);

    snprintf(text, sizeof(text), "%d.%d.%d.%d", (int)((h >> 24) & 0xff), (int)((h >> 16) & 0xff),
             (int)((h >> 8) & 0xff), (int)(h & 0xff));
    return textFromString(text);
}

/* A new tuple of n items, whose references it takes; when an item is
 * null (its making failed), the others are dropped and null returned. */
static PyObject *tupleOf(int n, PyObject **items)
{
    PyObject *tuple = NULL;
    int i;

    for (i = 0; i < n; i++)
        if (!items[i])
            goto out;
    tuple = PyTuple_New(n);
    if (!tuple)
        goto out;
    for (i = 0; i < n; i++)
        PyTuple_SetItem(tuple, i, items[i]);
    return tuple;
out:
    for (i = 0; i < n; i++)
        Py_XDECREF(items[i]);
    return NULL;
}

/* A Python int holding an unsigned 32-bit field. */
static PyObject *unsignedInt(uint32_t value)
{
    return PyInt_FromLong((long)value);
}

/* A signed 32-bit field of a record (a node number, a state, a process
 * id).  The Python 2 build shows it unsigned, as it always has (the master
 * as 4294967295); under Python 3 it is the number it is (the master -1). */
static PyObject *signedField(int32_t value)
{
#if VORN_PY3
    return PyInt_FromLong(value);
#else
    return unsignedInt((uint32_t)value);
#endif
}

/* The 6-tuple (node, status, mode, user, group, address) of a node. */
static PyObject *nodeTuple(const struct vorn_node_info *info)
{
    PyObject *items[6] = {
        signedField(info->node), signedField(info->status), unsignedInt(info->mode),
        unsignedInt(info->user), unsignedInt(info->group),  makeip(info->addr),
    };

    return tupleOf(6, items);
}

/* ------------------------------------------------------------------ */
/* Node queries                                                        */
/* ------------------------------------------------------------------ */

static char getnodebyname__doc__[] = DOC_SIGNATURE(
    "getnodebyname(name, /)", "getnodebyname() - Return an int representing the node you name.\n");

static PyObject *vn_getnodebyname(PyObject *, PyObject *args)
{
    const char *name;
    int node;

    if (!PyArg_ParseTuple(args, "s", &name))
        return NULL;
    LIBRARY_CALL(node = vorn_getnodebyname(name));
    if (node == NODE_NONE) {
        PyErr_SetString(PyExc_ValueError, "invalid node name");
        return NULL;
    }
    return PyInt_FromLong(node);
}

static char numnodes__doc__[] = DOC_SIGNATURE(
    "numnodes()", "numnodes() - Return an int representing the number of slave nodes.\n");

static PyObject *vn_numnodes(PyObject *, PyObject *args)
{
    int n;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    LIBRARY_CALL(n = vorn_numnodes());
    return PyInt_FromLong(n);
}

static char nodestatus__doc__[] = DOC_SIGNATURE(
    "nodestatus(node, /)", "nodestatus() - returns the status of the specified node.\n");

static PyObject *vn_nodestatus(PyObject *, PyObject *args)
{
    int node, status;

    if (!PyArg_ParseTuple(args, "i", &node))
        return NULL;
    LIBRARY_CALL(status = vorn_nodestatus(node));
    if (status == -1)
        return setError();
    return PyInt_FromLong(status);
}

static char masteraddr__doc__[] =
    DOC_SIGNATURE("masteraddr()", "masteraddr() - Returns the IP of the head node.\n");

static PyObject *vn_masteraddr(PyObject *, PyObject *args)
{
    struct sockaddr_in addr;
    int len = sizeof(addr);

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    int rc;

    memset(&addr, 0, sizeof(addr));
    LIBRARY_CALL(rc = vorn_masteraddr(&addr, &len));
    if (rc != 0)
        return setError();
    return makeip(addr.sin_addr.s_addr);
}

static char nodeaddr__doc__[] =
    DOC_SIGNATURE("nodeaddr(node, /)", "nodeaddr() - Returns the IP of the given node.\n");

static PyObject *vn_nodeaddr(PyObject *, PyObject *args)
{
    struct sockaddr_in addr;
    int len = sizeof(addr);
    int node, rc;

    if (!PyArg_ParseTuple(args, "i", &node))
        return NULL;
    memset(&addr, 0, sizeof(addr));
    LIBRARY_CALL(rc = vorn_nodeaddr(node, &addr, &len));
    if (rc != 0)
        return setError();
    return makeip(addr.sin_addr.s_addr);
}

static char nodenumber__doc__[] = DOC_SIGNATURE(
    "nodenumber(ip, /)", "nodenumber(ip) - returns the node number for the given ip.\n");

static PyObject *vn_nodenumber(PyObject *, PyObject *args)
{
    const char *ip;
    struct sockaddr_in *addr;
    int node;

    if (!PyArg_ParseTuple(args, "s", &ip))
        return NULL;
    addr = parseIPString(ip);
    if (!addr)
        return NULL;
    LIBRARY_CALL(node = vorn_nodenumber(addr, sizeof(*addr)));
    free(addr);
    if (node == NODE_NONE) {
        PyErr_SetString(PyExc_ValueError, "no such node");
        return NULL;
    }
    return PyInt_FromLong(node);
}

static char currnode__doc__[] =
    DOC_SIGNATURE("currnode()", "currnode() - Returns the current node.\n");

static PyObject *vn_currnode(PyObject *, PyObject *args)
{
    int node;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    LIBRARY_CALL(node = vorn_currnode());
    return PyInt_FromLong(node);
}

/* ------------------------------------------------------------------ */
/* Ownership and permissions                                           */
/* ------------------------------------------------------------------ */

/* Shared body of chmod, chown and chgrp. */
static PyObject *vn_chfoo(PyObject *args, int (*change)(int, int))
{
    int node, value, rc;

    if (!PyArg_ParseTuple(args, "ii", &node, &value))
        return NULL;
    LIBRARY_CALL(rc = change(node, value));
    if (rc == -1)
        return setError();
    Py_RETURN_NONE;
}

static char chmod__doc__[] = DOC_SIGNATURE(
    "chmod(node, mode, /)", "chmod(node, mode) - change the permissions for a node.\n");

static PyObject *vn_chmod(PyObject *, PyObject *args)
{
    return vn_chfoo(args, vorn_chmod);
}

static char chown__doc__[] =
    DOC_SIGNATURE("chown(node, user, /)", "chown(node, user) - change the user for a node.\n");

static PyObject *vn_chown(PyObject *, PyObject *args)
{
    return vn_chfoo(args, vorn_chown);
}

static char chgrp__doc__[] =
    DOC_SIGNATURE("chgrp(node, group, /)", "chgrp(node, group) - change the group for a node.\n");

static PyObject *vn_chgrp(PyObject *, PyObject *args)
{
    return vn_chfoo(args, vorn_chgrp);
}

static char access__doc__[] = DOC_SIGNATURE(
    "access(node, mode, /)", "access(node, mode) - Check if you have access to a node.\n");

static PyObject *vn_access(PyObject *, PyObject *args)
{
    int node, mode, rc;

    if (!PyArg_ParseTuple(args, "ii", &node, &mode))
        return NULL;
    LIBRARY_CALL(rc = vorn_access(node, mode));
    if (rc != -1)
        return PyInt_FromLong(1);
    if (errno == EACCES)
        return PyInt_FromLong(0);
    return setError();
}

/* ------------------------------------------------------------------ */
/* Node and process records                                            */
/* ------------------------------------------------------------------ */

static char nodeinfo__doc__[] = DOC_SIGNATURE(
    "nodeinfo(node, /)", "nodeinfo(node) - returns tuple containing information on node.\n");

static PyObject *vn_nodeinfo(PyObject *, PyObject *args)
{
    struct vorn_node_info info;
    int node, rc;

    if (!PyArg_ParseTuple(args, "i", &node))
        return NULL;
    LIBRARY_CALL(rc = vorn_nodeinfo(node, &info));
    if (rc == -1)
        return setError();
    return nodeTuple(&info);
}

static char nodelist__doc__[] =
    DOC_SIGNATURE("nodelist()", "nodelist(node) - get information on all nodes\n");

static PyObject *vn_nodelist(PyObject *, PyObject *args)
{
    struct vorn_node_info *nodes = NULL;
    PyObject *list, *item;
    int n, i;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    LIBRARY_CALL(n = vorn_nodelist(&nodes));
    if (n == -1)
        return setError();
    list = PyList_New(0);
    if (!list)
        goto out;
    for (i = 0; i < n; i++) {
        item = nodeTuple(&nodes[i]);
        if (!item || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_CLEAR(list);
            goto out;
        }
        Py_DECREF(item);
    }
out:
    free(nodes);
    return list;
}

static char proclist__doc__[] =
    DOC_SIGNATURE("proclist(node, /)",
                  "proclist(node) - get information on all ghosted processes on a given node\n");

static PyObject *vn_proclist(PyObject *, PyObject *args)
{
    struct vorn_proc_info *procs = NULL;
    PyObject *list, *item, *pair[2];
    int node, n, i;

    if (!PyArg_ParseTuple(args, "i", &node))
        return NULL;
    LIBRARY_CALL(n = vorn_proclist(node, &procs));
    if (n == -1)
        return setError();
    list = PyList_New(0);
    if (!list)
        goto out;
    for (i = 0; i < n; i++) {
        pair[0] = signedField(procs[i].pid);
        pair[1] = signedField(procs[i].node);
        item = tupleOf(2, pair);
        if (!item || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_CLEAR(list);
            goto out;
        }
        Py_DECREF(item);
    }
out:
    free(procs);
    return list;
}

static char pidnode__doc__[] = DOC_SIGNATURE(
    "pidnode(pid, /)", "pidnode() - returns the node the given pid is being run on.\n");

static PyObject *vn_pidnode(PyObject *, PyObject *args)
{
    int pid, node;

    if (!PyArg_ParseTuple(args, "i", &pid))
        return NULL;
    LIBRARY_CALL(node = vorn_pidnode(pid));
    if (node == -1) {
        PyErr_SetString(PyExc_IndexError, "No such process");
        return NULL;
    }
    return PyInt_FromLong(node);
}

/* ------------------------------------------------------------------ */
/* Process creation and migration                                      */
/* ------------------------------------------------------------------ */

typedef int (*exec_call)(int, struct io_redirect *, int, const char *, char *const[],
                         char *const[]);

/* Shared body of rexec and execmove: returns only with an exception set. */
static void exec_wrapper(PyObject *args, PyObject *kw, exec_call call)
{
    char kw_node[] = "node", kw_cmd[] = "cmd", kw_argv[] = "argv", kw_envp[] = "envp",
         kw_io[] = "io";
    char *kwlist[] = {kw_node, kw_cmd, kw_argv, kw_envp, kw_io, NULL};
    int node, count = -1;
    struct pathArg cmd = {NULL, NULL};
    PyObject *argv_obj, *envp_obj = NULL, *io_obj = NULL, *hold = NULL;
    char **argv = NULL, **envp = NULL;
    struct io_redirect *io = NULL;

    if (!PyArg_ParseTupleAndKeywords(args, kw, "i" PATH_FORMAT "O|OO", kwlist, &node, PATH_ARG(cmd),
                                     &argv_obj, &envp_obj, &io_obj))
        return;
    /* The conversions run Python code (an argv's __getitem__, a mapping's
     * keys()), which may rebind the entries of the keyword dictionary:
     * Python 2 hands f(**d) the caller's own d.  Every argument is held
     * until the call is done. */
    Py_INCREF(argv_obj);
    Py_XINCREF(envp_obj);
    Py_XINCREF(io_obj);
    if (!pathHold(&cmd))
        goto out;
    argv = parseArgv(argv_obj, &hold);
    if (!argv)
        goto out;
    if (envp_obj) {
        envp = parseEnvp(envp_obj);
        if (!envp)
            goto out;
    }
    if (io_obj) {
        count = parseIOList(io_obj, &io);
        if (count == -1)
            goto out;
    }
    LIBRARY_CALL(call(node, io, count, cmd.text, argv, envp));
    setError();
out:
    freeArgv(argv, hold);
    freeEnvp(envp);
    free(io);
    Py_DECREF(argv_obj);
    Py_XDECREF(envp_obj);
    Py_XDECREF(io_obj);
    pathRelease(&cmd);
}

static char rexec__doc__[] = DOC_SIGNATURE(
    "rexec(node, cmd, argv, envp=..., io=...)",
    "rexec() - Replaces the python process with a new process that is created on a remote node.\n");

static PyObject *vn_rexec(PyObject *, PyObject *args, PyObject *kw)
{
    exec_wrapper(args, kw, vorn_rexec_io);
    return NULL;
}

/* Shared body of move and rfork (forks set): the call's result, or -1
 * with an exception set. */
static int move_or_fork(PyObject *args, PyObject *kw, char **kwlist,
                        int (*call)(int, struct io_redirect *, int, int), int forks)
{
    int node, flags = DUMP_EXEC | DUMP_OTHER, count = -1, result, err;
    PyObject *io_obj = NULL;
    struct io_redirect *io = NULL;

    if (!PyArg_ParseTupleAndKeywords(args, kw, "i|Oi", kwlist, &node, &io_obj, &flags))
        return -1;
    if (io_obj) {
        count = parseIOList(io_obj, &io);
        if (count == -1)
            return -1;
    }
    if (!forks) {
        LIBRARY_CALL(result = call(node, io, count, flags));
        err = errno;
        free(io);
        errno = err;
        if (result == -1)
            setError();
        return result;
    }
    libraryForkEnter();
    result = call(node, io, count, flags);
    err = errno;
    libraryLeave();
    free(io);
    if (result == 0)
        forkAfterChild();
    else if (forkAfterParent() != 0)
        return -1;
    errno = err;
    if (result == -1)
        setError();
    return result;
}

static char move__doc__[] = DOC_SIGNATURE(
    "move(node, io=..., flags=6)", "move() - Moves the current process to the specified node.\n");

static PyObject *vn_move(PyObject *, PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {(char *)"node", (char *)"io", (char *)"flags", NULL};

    if (move_or_fork(args, kw, kwlist, _vorn_move_io, 0) == -1)
        return NULL;
    Py_RETURN_NONE;
}

static char rfork__doc__[] = DOC_SIGNATURE(
    "rfork(node, io=..., flags=6)",
    "rfork() - forks the process, the child process being created on a different node.\n");

static PyObject *vn_rfork(PyObject *, PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {(char *)"node", (char *)"io", (char *)"flags", NULL};
    int result;

    result = move_or_fork(args, kw, kwlist, _vorn_rfork_io, 1);
    if (result == -1)
        return NULL;
    return PyInt_FromLong(result);
}

static char vrfork__doc__[] = DOC_SIGNATURE(
    "vrfork(nodes, io=..., flags=6)", "vrfork(nodes) - Vector forks to all thte listed nodes.\n");

static PyObject *vn_vrfork(PyObject *, PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {(char *)"nodes", (char *)"io", (char *)"flags", NULL};
    int flags = DUMP_EXEC | DUMP_OTHER, count = -1, result, err;
    PyObject *nodes_obj, *io_obj = NULL, *item;
    struct io_redirect *io = NULL;
    int *nodes;
    int32_t node;
    Py_ssize_t n, i;

    if (!PyArg_ParseTupleAndKeywords(args, kw, "O|Oi", kwlist, &nodes_obj, &io_obj, &flags))
        return NULL;
    if (!PyObject_TypeCheck(nodes_obj, &PyList_Type)) {
        PyErr_SetString(PyExc_TypeError, "list expected");
        return NULL;
    }
    n = PyList_Size(nodes_obj);
    nodes = (int *)allocArray((size_t)n, sizeof(int));
    if (!nodes)
        return PyErr_NoMemory();
    for (i = 0; i < n; i++) {
        item = PyList_GetItem(nodes_obj, i);
        if (!PyObject_TypeCheck(item, &PyInt_Type)) {
            free(nodes);
            PyErr_SetString(PyExc_TypeError, "list of ints expected");
            return NULL;
        }
        if (int32Value(item, &node) != 0) {
            free(nodes);
            return NULL;
        }
        nodes[i] = node;
    }
    if (io_obj) {
        count = parseIOList(io_obj, &io);
        if (count == -1) {
            free(nodes);
            return NULL;
        }
    }
    libraryForkEnter();
    result = _vorn_vrfork_io(nodes, (int)n, io, count, flags);
    err = errno;
    libraryLeave();
    free(nodes);
    free(io);
    /* Each child gets its index (below n), the parent the count n. */
    if (result >= 0 && result < n)
        forkAfterChild();
    else if (forkAfterParent() != 0)
        return NULL;
    errno = err;
    if (result == -1)
        return setError();
    Py_RETURN_NONE;
}

static char execmove__doc__[] =
    DOC_SIGNATURE("execmove(node, cmd, argv, envp=..., io=...)",
                  "execmove() - Replaces the python process with a new process that is created on "
                  "the current node and immediately moved to the specified node.\n");

static PyObject *vn_execmove(PyObject *, PyObject *args, PyObject *kw)
{
    exec_wrapper(args, kw, vorn_execmove_io);
    return NULL;
}

static char requestfile__doc__[] =
    DOC_SIGNATURE("requestfile(path, /)",
                  "requestfile(path) - Request a file through the Vorn file cache interface.\n");

static PyObject *vn_requestfile(PyObject *, PyObject *args)
{
    struct pathArg path = {NULL, NULL};
    PyObject *file = NULL;
    int fd;

    if (!PyArg_ParseTuple(args, PATH_FORMAT, PATH_ARG(path)))
        return NULL;
    if (pathHold(&path)) {
        LIBRARY_CALL(fd = vorn_requestfile(path.text));
        file = fd == -1 ? setError() : fileFromDescriptor(fd, path.text);
    }
    pathRelease(&path);
    return file;
}

/* ------------------------------------------------------------------ */
/* Node control                                                        */
/* ------------------------------------------------------------------ */

/* Shared body of the node control calls that take one node. */
static PyObject *nodeControl(PyObject *args, int (*control)(int))
{
    int node, rc;

    if (!PyArg_ParseTuple(args, "i", &node))
        return NULL;
    LIBRARY_CALL(rc = control(node));
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

static char nodechroot__doc__[] =
    DOC_SIGNATURE("nodechroot(node, path, /)",
                  "nodechroot() - requests that the slave daemon perform a chroot.\n");

static PyObject *vn_nodechroot(PyObject *, PyObject *args)
{
    int node, rc;
    struct pathArg path = {NULL, NULL};

    if (!PyArg_ParseTuple(args, "i" PATH_FORMAT, &node, PATH_ARG(path)))
        return NULL;
    if (!pathHold(&path)) {
        pathRelease(&path);
        return NULL;
    }
    LIBRARY_CALL(rc = vorn_nodechroot(node, path.text));
    pathRelease(&path);
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

static char nodereboot__doc__[] = DOC_SIGNATURE(
    "nodereboot(node, /)", "nodereboot(node) - requests that the slave daemon reboot the node.\n");

static PyObject *vn_nodereboot(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodereboot);
}

static char nodehalt__doc__[] = DOC_SIGNATURE(
    "nodehalt(node, /)", "nodehalt(node) - requests that the slave daemon halt the node.\n");

static PyObject *vn_nodehalt(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodehalt);
}

static char nodepwroff__doc__[] =
    DOC_SIGNATURE("nodepwroff(node, /)",
                  "nodepwroff(node) - requests that the slave daemon poweroff the node.\n");

static PyObject *vn_nodepwroff(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodepwroff);
}

static char nodereboot_async__doc__[] =
    DOC_SIGNATURE("nodereboot_async(node, /)",
                  "nodereboot_async(node) - requests that the slave daemon reboot the node.\n");

static PyObject *vn_nodereboot_async(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodereboot_async);
}

static char nodehalt_async__doc__[] =
    DOC_SIGNATURE("nodehalt_async(node, /)",
                  "nodehalt_async(node) - requests that the slave daemon halt the node.\n");

static PyObject *vn_nodehalt_async(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodehalt_async);
}

static char nodepwroff_async__doc__[] =
    DOC_SIGNATURE("nodepwroff_async(node, /)",
                  "nodepwroff_async(node) - requests that the slave daemon poweroff the node.\n");

static PyObject *vn_nodepwroff_async(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodepwroff_async);
}

static char nodesetstatus__doc__[] =
    DOC_SIGNATURE("nodesetstatus(node, status, /)", "nodesetstatus() - Sets a node's status.\n");

static PyObject *vn_nodesetstatus(PyObject *, PyObject *args)
{
    int node, status, rc;

    if (!PyArg_ParseTuple(args, "ii", &node, &status))
        return NULL;
    if (status < VORN_NODE_DOWN || status > VORN_NODE_UP) {
        PyErr_SetString(PyExc_ValueError, "invalid status");
        return NULL;
    }
    LIBRARY_CALL(rc = vorn_nodesetstatus(node, status));
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

static char nodecachepurgefail__doc__[] = DOC_SIGNATURE(
    "nodecachepurgefail(node, /)", "nodecachepurgefail(node) - flush file cache failure list.\n");

static PyObject *vn_nodecachepurgefail(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodecachepurgefail);
}

static char nodecachepurgeok__doc__[] =
    DOC_SIGNATURE("nodecachepurgeok(node, /)",
                  "nodecachepurgeok(node) - flush successful downloads from file cache.\n");

static PyObject *vn_nodecachepurgeok(PyObject *, PyObject *args)
{
    return nodeControl(args, vorn_nodecachepurgeok);
}

/* ------------------------------------------------------------------ */
/* Version and notification                                            */
/* ------------------------------------------------------------------ */

static char vorn_version__doc__[] = DOC_SIGNATURE(
    "vorn_version()", "vorn_version() - Retrieve version information from the Vorn library.\n");

static PyObject *vn_vorn_version(PyObject *, PyObject *args)
{
    struct vorn_version_info info;
    PyObject *chars[3], *fields[4];
    int rc;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    memset(&info, 0, sizeof(info));
    LIBRARY_CALL(rc = vorn_version(&info));
    if (rc != 0)
        return setError();
    chars[0] = textFromBytes(&info.version[0], 1);
    chars[1] = textFromBytes(&info.version[1], 1);
    chars[2] = textFromBytes(&info.version[2], 1);
    fields[0] = tupleOf(3, chars);
    fields[1] = PyInt_FromLong(info.code);
    fields[2] = PyInt_FromLong((int32_t)info.value);
    /* The text is read within its 24 bytes even if the library left it
     * unterminated. */
    fields[3] = textFromBytes(info.text, (Py_ssize_t)strnlen(info.text, sizeof(info.text)));
    return tupleOf(4, fields);
}

static char notifier__doc__[] =
    DOC_SIGNATURE("notifier()", "notifier() - get notifier file object.\n");

static PyObject *vn_notifier(PyObject *, PyObject *args)
{
    int fd;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    LIBRARY_CALL(fd = vorn_notifier());
    if (fd == -1)
        return setError();
    return fileFromDescriptor(fd, "");
}

/* ------------------------------------------------------------------ */
/* Process dumps                                                       */
/* ------------------------------------------------------------------ */

static char dump__doc__[] =
    DOC_SIGNATURE("dump(fileno, flags, /)",
                  "dump(fileno, flags) - Dumps the current process to a file descriptor.\n");

static PyObject *vn_dump(PyObject *, PyObject *args)
{
    int fd, flags, rc;

    if (!PyArg_ParseTuple(args, "ii", &fd, &flags))
        return NULL;
    LIBRARY_CALL(rc = vorn_dump(fd, flags));
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

static char undump__doc__[] = DOC_SIGNATURE(
    "undump(fileno, /)", "undump(fileno) - Restore a process from a file descriptor.\n");

static PyObject *vn_undump(PyObject *, PyObject *args)
{
    int fd, rc;

    if (!PyArg_ParseTuple(args, "i", &fd))
        return NULL;
    LIBRARY_CALL(rc = vorn_undump(fd));
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

static char execdump__doc__[] =
    DOC_SIGNATURE("execdump(fd, flags, cmd, argv, envp=...)", "execdump() - XXX: need info.\n");

static PyObject *vn_execdump(PyObject *, PyObject *args, PyObject *kw)
{
    char kw_fd[] = "fd", kw_flags[] = "flags", kw_cmd[] = "cmd", kw_argv[] = "argv",
         kw_envp[] = "envp";
    char *kwlist[] = {kw_fd, kw_flags, kw_cmd, kw_argv, kw_envp, NULL};
    int fd, flags;
    struct pathArg cmd = {NULL, NULL};
    PyObject *argv_obj, *envp_obj = NULL, *hold = NULL;
    char **argv = NULL, **envp = NULL;

    if (!PyArg_ParseTupleAndKeywords(args, kw, "ii" PATH_FORMAT "O|O", kwlist, &fd, &flags,
                                     PATH_ARG(cmd), &argv_obj, &envp_obj))
        return NULL;
    /* Held for the whole call, as in exec_wrapper. */
    Py_INCREF(argv_obj);
    Py_XINCREF(envp_obj);
    if (!pathHold(&cmd))
        goto out;
    argv = parseArgv(argv_obj, &hold);
    if (!argv)
        goto out;
    if (envp_obj) {
        envp = parseEnvp(envp_obj);
        if (!envp)
            goto out;
    }
    LIBRARY_CALL(vorn_execdump(fd, flags, cmd.text, argv, envp));
    setError();
out:
    freeArgv(argv, hold);
    freeEnvp(envp);
    Py_DECREF(argv_obj);
    Py_XDECREF(envp_obj);
    pathRelease(&cmd);
    return NULL;
}

/* ------------------------------------------------------------------ */
/* Library list of the process dumper                                  */
/* ------------------------------------------------------------------ */

static char libclear__doc__[] = DOC_SIGNATURE("libclear()", "libclear() - XXX: Need stuff here.\n");

static PyObject *vn_libclear(PyObject *, PyObject *args)
{
    int rc;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    LIBRARY_CALL(rc = vorn_libclear());
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

/* Shared body of libadd and libdel. */
static PyObject *libChange(PyObject *args, int (*change)(const char *))
{
    struct pathArg name = {NULL, NULL};
    int rc;

    if (!PyArg_ParseTuple(args, PATH_FORMAT, PATH_ARG(name)))
        return NULL;
    if (!pathHold(&name)) {
        pathRelease(&name);
        return NULL;
    }
    LIBRARY_CALL(rc = change(name.text));
    pathRelease(&name);
    if (rc != 0)
        return setError();
    Py_RETURN_NONE;
}

static char libadd__doc__[] =
    DOC_SIGNATURE("libadd(libname, /)", "libadd(libname) - XXX: Need stuff here.\n");

static PyObject *vn_libadd(PyObject *, PyObject *args)
{
    return libChange(args, vorn_libadd);
}

static char libdel__doc__[] =
    DOC_SIGNATURE("libdel(libname, /)", "libdel(libname) - XXX: Need stuff here.\n");

static PyObject *vn_libdel(PyObject *, PyObject *args)
{
    return libChange(args, vorn_libdel);
}

static char liblist__doc__[] = DOC_SIGNATURE("liblist()", "liblist() - Get list of libraries.\n");

static PyObject *vn_liblist(PyObject *, PyObject *args)
{
    char *buffer = NULL, *name;
    PyObject *list, *item;
    int rc;

    if (!PyArg_ParseTuple(args, ""))
        return NULL;
    LIBRARY_CALL(rc = vorn_liblist(&buffer));
    if (rc != 0)
        return setError();
    list = PyList_New(0);
    if (!list)
        goto out;
    for (name = buffer; name && *name; name += strlen(name) + 1) {
        item = textFromPath(name);
        if (!item || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_CLEAR(list);
            goto out;
        }
        Py_DECREF(item);
    }
out:
    free(buffer);
    return list;
}

/* ------------------------------------------------------------------ */
/* Module table and initialisation                                     */
/* ------------------------------------------------------------------ */

/* Under Python 3; the Python 2 module has none, as it always had. */
const char vornModuleDoc[] =
    "The cluster library libvorn.so.2 for Python: node queries and control,\n"
    "permissions, process placement with I/O redirection, process dumps, the\n"
    "file cache and the process dumper's library list.\n"
    "\n"
    "Slave nodes are numbered from 0; the master is NODE_MASTER (-1).  A failed\n"
    "library call raises OSError with its errno (ValueError \"invalid node\" for\n"
    "EINVAL).  An IO tuple redirects one descriptor of a placed process:\n"
    "(fd, IO_FILE, send_header, (open_flags, mode, offset, name)) or\n"
    "(fd, IO_SOCKET, send_header, \"a.b.c.d\").\n"
    "\n"
    "Calls that wait (reboots, halts, placements, the library's lock) let other\n"
    "threads run meanwhile; the library is entered by one thread at a time.\n";

/* Keyword functions are entered through the generic function type. */
PyMethodDef VornMethods[] = {
    {"getnodebyname", vn_getnodebyname, METH_VARARGS, getnodebyname__doc__},
    {"numnodes", vn_numnodes, METH_VARARGS, numnodes__doc__},
    {"nodestatus", vn_nodestatus, METH_VARARGS, nodestatus__doc__},
    {"masteraddr", vn_masteraddr, METH_VARARGS, masteraddr__doc__},
    {"nodeaddr", vn_nodeaddr, METH_VARARGS, nodeaddr__doc__},
    {"nodenumber", vn_nodenumber, METH_VARARGS, nodenumber__doc__},
    {"currnode", vn_currnode, METH_VARARGS, currnode__doc__},
    {"chmod", vn_chmod, METH_VARARGS, chmod__doc__},
    {"chown", vn_chown, METH_VARARGS, chown__doc__},
    {"chgrp", vn_chgrp, METH_VARARGS, chgrp__doc__},
    {"access", vn_access, METH_VARARGS, access__doc__},
    {"nodeinfo", vn_nodeinfo, METH_VARARGS, nodeinfo__doc__},
    {"nodelist", vn_nodelist, METH_VARARGS, nodelist__doc__},
    {"proclist", vn_proclist, METH_VARARGS, proclist__doc__},
    {"pidnode", vn_pidnode, METH_VARARGS, pidnode__doc__},
    {"rexec", (PyCFunction)(void (*)(void))vn_rexec, METH_VARARGS | METH_KEYWORDS, rexec__doc__},
    {"move", (PyCFunction)(void (*)(void))vn_move, METH_VARARGS | METH_KEYWORDS, move__doc__},
    {"rfork", (PyCFunction)(void (*)(void))vn_rfork, METH_VARARGS | METH_KEYWORDS, rfork__doc__},
    {"vrfork", (PyCFunction)(void (*)(void))vn_vrfork, METH_VARARGS | METH_KEYWORDS, vrfork__doc__},
    {"execmove", (PyCFunction)(void (*)(void))vn_execmove, METH_VARARGS | METH_KEYWORDS,
     execmove__doc__},
    {"requestfile", vn_requestfile, METH_VARARGS, requestfile__doc__},
    {"nodechroot", vn_nodechroot, METH_VARARGS, nodechroot__doc__},
    {"nodereboot", vn_nodereboot, METH_VARARGS, nodereboot__doc__},
    {"nodehalt", vn_nodehalt, METH_VARARGS, nodehalt__doc__},
    {"nodepwroff", vn_nodepwroff, METH_VARARGS, nodepwroff__doc__},
    {"nodereboot_async", vn_nodereboot_async, METH_VARARGS, nodereboot_async__doc__},
    {"nodehalt_async", vn_nodehalt_async, METH_VARARGS, nodehalt_async__doc__},
    {"nodepwroff_async", vn_nodepwroff_async, METH_VARARGS, nodepwroff_async__doc__},
    {"nodesetstatus", vn_nodesetstatus, METH_VARARGS, nodesetstatus__doc__},
    {"nodecachepurgefail", vn_nodecachepurgefail, METH_VARARGS, nodecachepurgefail__doc__},
    {"nodecachepurgeok", vn_nodecachepurgeok, METH_VARARGS, nodecachepurgeok__doc__},
    {"vorn_version", vn_vorn_version, METH_VARARGS, vorn_version__doc__},
    {"notifier", vn_notifier, METH_VARARGS, notifier__doc__},
    {"dump", vn_dump, METH_VARARGS, dump__doc__},
    {"undump", vn_undump, METH_VARARGS, undump__doc__},
    {"execdump", (PyCFunction)(void (*)(void))vn_execdump, METH_VARARGS | METH_KEYWORDS,
     execdump__doc__},
    {"libclear", vn_libclear, METH_VARARGS, libclear__doc__},
    {"libadd", vn_libadd, METH_VARARGS, libadd__doc__},
    {"libdel", vn_libdel, METH_VARARGS, libdel__doc__},
    {"liblist", vn_liblist, METH_VARARGS, liblist__doc__},
    {NULL, NULL, 0, NULL},
};

/* Enters one int constant; a constant that cannot be made or entered is
 * left out and its error cleared. */
static void enterInt(PyObject *dict, const char *name, long value)
{
    PyObject *obj = PyInt_FromLong(value);

    if (!obj || PyDict_SetItemString(dict, name, obj) != 0)
        PyErr_Clear();
    Py_XDECREF(obj);
}

/* Enters state_strings, a list that alone owns its five names. */
static void enterStateStrings(PyObject *dict, const char *const *names, int count)
{
    PyObject *list, *name;
    int i;

    list = PyList_New(0);
    if (!list) {
        PyErr_Clear();
        return;
    }
    for (i = 0; i < count; i++) {
        name = textFromString(names[i]);
        if (!name || PyList_Append(list, name) != 0) {
            Py_XDECREF(name);
            Py_DECREF(list);
            PyErr_Clear();
            return;
        }
        Py_DECREF(name);
    }
    if (PyDict_SetItemString(dict, "state_strings", list) != 0)
        PyErr_Clear();
    Py_DECREF(list);
}

/* The constants, in order, into the new module's dictionary; called by
 * the entry point of each interpreter's file once the module exists. */
void enterConstants(PyObject *dict)
{
    static pthread_once_t forkHandlers = PTHREAD_ONCE_INIT;
    const char *const states[VORN_NODE_STATES] = VORN_STATE_NAMES;
#if VORN_PY3
    PyObject *version;
#endif

    pthread_once(&forkHandlers, libraryForkHandlers);

    enterInt(dict, "node_down", VORN_NODE_DOWN);
    enterInt(dict, "node_boot", VORN_NODE_BOOT);
    enterInt(dict, "node_error", VORN_NODE_ERROR);
    enterInt(dict, "node_unavailable", VORN_NODE_UNAVAILABLE);
    enterInt(dict, "node_up", VORN_NODE_UP);
    enterStateStrings(dict, states, VORN_NODE_STATES);
    enterInt(dict, "NODE_MASTER", NODE_MASTER);
    enterInt(dict, "NODE_SELF", NODE_SELF);
    enterInt(dict, "NODE_NONE", NODE_NONE);
    enterInt(dict, "NODE_ANY", NODE_ANY);
    enterInt(dict, "STATUS_NONE", STATUS_NONE);
    enterInt(dict, "DUMP_LIBS", DUMP_LIBS);
    enterInt(dict, "DUMP_EXEC", DUMP_EXEC);
    enterInt(dict, "DUMP_OTHER", DUMP_OTHER);
    enterInt(dict, "DUMP_ALL", DUMP_ALL);
    enterInt(dict, "ARCH_X86", ARCH_X86);
    enterInt(dict, "ARCH_ALPHA", ARCH_ALPHA);
    enterInt(dict, "ARCH", ARCH_THIS);
    enterInt(dict, "IO_FILE", IO_FILE);
    enterInt(dict, "IO_SOCKET", IO_SOCKET);
    enterInt(dict, "node_reboot", NODE_REBOOT);
    enterInt(dict, "node_halt", NODE_HALT);
    enterInt(dict, "node_pwroff", NODE_PWROFF);
    enterInt(dict, "X_OK", 1);
#if VORN_PY3
    version = textFromString(VORN_VERSION);
    if (!version || PyDict_SetItemString(dict, "__version__", version) != 0)
        PyErr_Clear();
    Py_XDECREF(version);
#endif
}
