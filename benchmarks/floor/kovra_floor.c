/* kovra_floor: the call floor that benchmarks/run.py measures kovra_api against.
 *
 * FloorDiff has the thirteen methods of PyGraphDiff with the same calling
 * conventions and the same unavoidable Python-side work: keyword binding of the
 * same parameter names, the 16-byte id check and copy, the number and text
 * conversions, the seven dictionary look-ups with cached keys, and, for the views,
 * the same Python objects built with the same calls. It stores nothing: each
 * mutation's converted values land in a sink, and the views are built from flat
 * arrays handed in by the set_* methods, shaped like the real diff.
 *
 * Whatever kovra_api spends beyond this is the cost of its own bookkeeping.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

typedef struct {
  unsigned char b[16];
} Id;

enum {
  kLabel = 1,
  kUrl = 2,
  kSize = 4,
  kRed = 8,
  kGreen = 16,
  kBlue = 32,
  kShowLabel = 64,
};

typedef struct {
  unsigned mask;
  char *label;
  Py_ssize_t label_len;
  char *url;
  Py_ssize_t url_len;
  float size;
  unsigned char red, green, blue, show_label;
} Record;

typedef struct {
  PyObject_HEAD
  Py_ssize_t n_nodes;
  Id *node_ids;
  Record *records;
  Py_ssize_t n_deleted;
  Id *deleted_ids;
  Py_ssize_t n_groups;
  Id *group_from;
  Py_ssize_t *group_size;
  Id *edge_to;
  float *edge_weight;
  Py_ssize_t n_dgroups;
  Id *dgroup_from;
  Py_ssize_t *dgroup_size;
  Id *dedge_to;
  char *document;
  Py_ssize_t document_size;
  unsigned long long count_nodes;
  unsigned long long count_edges;
} FloorDiff;

/* Converted arguments end here so the compiler cannot drop the work. */
static volatile uint64_t sink_bits;
static volatile float sink_float;
static volatile Py_ssize_t sink_len;

static PyTypeObject *floor_type;

/* Field names, in the order add_node looks them up and the nodes view writes them. */
static const char *const kFieldNames[7] = {"label", "url", "size", "red", "green", "blue",
                                           "show_label"};
static PyObject *field_keys[7];

typedef struct {
  const char *display;
  int count;
  const char *names[3];
  PyObject *interned[3];
} Signature;

static Signature sig_add_node = {"FloorDiff.add_node()", 2, {"id", "update"}, {0}};
static Signature sig_delete_node = {"FloorDiff.delete_node()", 1, {"id"}, {0}};
static Signature sig_add_edge = {"FloorDiff.add_edge()", 3, {"from", "to", "weight"}, {0}};
static Signature sig_delete_edge = {"FloorDiff.delete_edge()", 2, {"from", "to"}, {0}};
static Signature sig_from_bytes = {"FloorDiff.from_bytes()", 1, {"bytes"}, {0}};
static Signature *const all_signatures[] = {&sig_add_node, &sig_delete_node, &sig_add_edge,
                                            &sig_delete_edge, &sig_from_bytes};

/* Positional first, then keywords: by pointer for names from source code (interned),
 * by content for names built at run time. */
static int bind(const Signature *sig, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames, PyObject **out) {
  if (nargs > sig->count) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd were given",
                 sig->display, sig->count, nargs);
    return -1;
  }
  int i;
  for (i = 0; i < sig->count; ++i) out[i] = i < nargs ? args[i] : NULL;
  if (kwnames != NULL) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject *name = PyTuple_GET_ITEM(kwnames, k);
      int slot = -1;
      for (i = 0; i < sig->count && slot < 0; ++i) {
        if (name == sig->interned[i]) slot = i;
      }
      for (i = 0; i < sig->count && slot < 0; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig->names[i]) == 0) slot = i;
      }
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     sig->display, name);
        return -1;
      }
      if (out[slot] != NULL) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     sig->display, sig->names[slot]);
        return -1;
      }
      out[slot] = args[nargs + k];
    }
  }
  for (i = 0; i < sig->count; ++i) {
    if (out[i] == NULL) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s'", sig->display,
                   sig->names[i]);
      return -1;
    }
  }
  return 0;
}

static int id_from_arg(PyObject *obj, Id *id) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBytes'",
                 Py_TYPE(obj)->tp_name);
    return -1;
  }
  if (PyBytes_GET_SIZE(obj) != 16) {
    PyErr_SetString(PyExc_Exception, "Expected 16 bytes.");
    return -1;
  }
  memcpy(id->b, PyBytes_AS_STRING(obj), 16);
  return 0;
}

static void sink_id(const Id *id) {
  uint64_t lo, hi;
  memcpy(&lo, id->b, 8);
  memcpy(&hi, id->b + 8, 8);
  sink_bits = lo ^ hi;
}

static int float_from_arg(PyObject *obj, float *out) {
  double value;
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
  } else {
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return -1;
  }
  *out = (float)value;
  return 0;
}

static int u8_from_arg(PyObject *obj, unsigned char *out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return -1;
  }
  *out = (unsigned char)value;
  return 0;
}

/* The module copies a text into storage it owns; a stack buffer stands in for it. */
static int text_from_arg(PyObject *obj, char *buffer, Py_ssize_t capacity) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 Py_TYPE(obj)->tp_name);
    return -1;
  }
  Py_ssize_t len;
  const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == NULL) return -1;
  memcpy(buffer, utf8, (size_t)(len < capacity ? len : capacity));
  sink_len = len;
  return 0;
}

static PyObject *floor_add_node(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
  (void)self;
  PyObject *bound[2];
  if (bind(&sig_add_node, args, nargs, kwnames, bound) < 0) return NULL;
  Id id;
  if (id_from_arg(bound[0], &id) < 0) return NULL;
  PyObject *update = bound[1];
  if (!PyDict_Check(update)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'",
                 Py_TYPE(update)->tp_name);
    return NULL;
  }
  char label[64], url[256];
  label[0] = url[0] = 0;
  float size = 0.0f;
  unsigned char colour[3] = {0, 0, 0};
  unsigned mask = 0;
  int show = 0;
  for (int field = 0; field < 7; ++field) {
    PyObject *value = PyDict_GetItemWithError(update, field_keys[field]);
    if (value == NULL) {
      if (PyErr_Occurred()) return NULL;
      continue;
    }
    int rc;
    switch (field) {
      case 0: rc = text_from_arg(value, label, (Py_ssize_t)sizeof label); break;
      case 1: rc = text_from_arg(value, url, (Py_ssize_t)sizeof url); break;
      case 2: rc = float_from_arg(value, &size); break;
      case 6:
        if (!PyBool_Check(value)) {
          PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'",
                       Py_TYPE(value)->tp_name);
          return NULL;
        }
        show = value == Py_True;
        rc = 0;
        break;
      default: rc = u8_from_arg(value, &colour[field - 3]); break;
    }
    if (rc < 0) return NULL;
    mask |= 1u << field;
  }
  sink_id(&id);
  sink_bits = mask ^ (uint64_t)show ^ colour[0] ^ colour[1] ^ colour[2] ^ (uint64_t)label[0] ^
              (uint64_t)url[0];
  sink_float = size;
  Py_RETURN_NONE;
}

static PyObject *floor_delete_node(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
  (void)self;
  PyObject *bound[1];
  if (bind(&sig_delete_node, args, nargs, kwnames, bound) < 0) return NULL;
  Id id;
  if (id_from_arg(bound[0], &id) < 0) return NULL;
  sink_id(&id);
  Py_RETURN_NONE;
}

static PyObject *floor_add_edge(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
  (void)self;
  PyObject *bound[3];
  if (bind(&sig_add_edge, args, nargs, kwnames, bound) < 0) return NULL;
  Id from, to;
  float weight;
  if (id_from_arg(bound[0], &from) < 0) return NULL;
  if (id_from_arg(bound[1], &to) < 0) return NULL;
  if (float_from_arg(bound[2], &weight) < 0) return NULL;
  sink_id(&from);
  sink_id(&to);
  sink_float = weight;
  Py_RETURN_NONE;
}

static PyObject *floor_delete_edge(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
  (void)self;
  PyObject *bound[2];
  if (bind(&sig_delete_edge, args, nargs, kwnames, bound) < 0) return NULL;
  Id from, to;
  if (id_from_arg(bound[0], &from) < 0) return NULL;
  if (id_from_arg(bound[1], &to) < 0) return NULL;
  sink_id(&from);
  sink_id(&to);
  Py_RETURN_NONE;
}

static PyObject *floor_clear(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  Py_RETURN_NONE;
}

static PyObject *floor_num_nodes(PyObject *self, PyObject *unused) {
  (void)unused;
  return PyLong_FromUnsignedLongLong(((FloorDiff *)self)->count_nodes);
}

static PyObject *floor_num_edges(PyObject *self, PyObject *unused) {
  (void)unused;
  return PyLong_FromUnsignedLongLong(((FloorDiff *)self)->count_edges);
}

static PyObject *id_text(const Id *id) {
  static const char digits[] = "0123456789abcdef";
  char text[36];
  int pos = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[pos++] = '-';
    text[pos++] = digits[id->b[i] >> 4];
    text[pos++] = digits[id->b[i] & 15];
  }
  return PyUnicode_FromStringAndSize(text, 36);
}

/* Steals `value`; on failure both references are gone. */
static int set_item(PyObject *dict, PyObject *key, PyObject *value) {
  if (value == NULL) return -1;
  int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc;
}

/* Steals `key` and `value`. */
static int set_item_owned(PyObject *dict, PyObject *key, PyObject *value) {
  if (key == NULL) {
    Py_XDECREF(value);
    return -1;
  }
  if (value == NULL) {
    Py_DECREF(key);
    return -1;
  }
  int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(key);
  Py_DECREF(value);
  return rc;
}

static PyObject *record_dict(const Record *rec) {
  PyObject *dict = PyDict_New();
  if (dict == NULL) return NULL;
  int rc = 0;
  if (rc == 0 && (rec->mask & kLabel))
    rc = set_item(dict, field_keys[0], PyUnicode_FromStringAndSize(rec->label, rec->label_len));
  if (rc == 0 && (rec->mask & kUrl))
    rc = set_item(dict, field_keys[1], PyUnicode_FromStringAndSize(rec->url, rec->url_len));
  if (rc == 0 && (rec->mask & kSize))
    rc = set_item(dict, field_keys[2], PyFloat_FromDouble((double)rec->size));
  if (rc == 0 && (rec->mask & kRed)) rc = set_item(dict, field_keys[3], PyLong_FromLong(rec->red));
  if (rc == 0 && (rec->mask & kGreen))
    rc = set_item(dict, field_keys[4], PyLong_FromLong(rec->green));
  if (rc == 0 && (rec->mask & kBlue))
    rc = set_item(dict, field_keys[5], PyLong_FromLong(rec->blue));
  if (rc == 0 && (rec->mask & kShowLabel))
    rc = set_item(dict, field_keys[6], Py_NewRef(rec->show_label ? Py_True : Py_False));
  if (rc < 0) {
    Py_DECREF(dict);
    return NULL;
  }
  return dict;
}

static PyObject *floor_new_or_updated_nodes(PyObject *self, PyObject *unused) {
  (void)unused;
  FloorDiff *d = (FloorDiff *)self;
  PyObject *result = PyDict_New();
  if (result == NULL) return NULL;
  for (Py_ssize_t i = 0; i < d->n_nodes; ++i) {
    if (set_item_owned(result, id_text(&d->node_ids[i]), record_dict(&d->records[i])) < 0) {
      Py_DECREF(result);
      return NULL;
    }
  }
  return result;
}

static PyObject *id_list(const Id *ids, Py_ssize_t n) {
  PyObject *list = PyList_New(n);
  if (list == NULL) return NULL;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *text = id_text(&ids[i]);
    if (text == NULL) {
      Py_DECREF(list);
      return NULL;
    }
    PyList_SET_ITEM(list, i, text);
  }
  return list;
}

static PyObject *floor_deleted_nodes(PyObject *self, PyObject *unused) {
  (void)unused;
  FloorDiff *d = (FloorDiff *)self;
  return id_list(d->deleted_ids, d->n_deleted);
}

static PyObject *floor_new_or_updated_edges(PyObject *self, PyObject *unused) {
  (void)unused;
  FloorDiff *d = (FloorDiff *)self;
  PyObject *result = PyDict_New();
  if (result == NULL) return NULL;
  Py_ssize_t pos = 0;
  for (Py_ssize_t g = 0; g < d->n_groups; ++g) {
    Py_ssize_t count = d->group_size[g];
    if (count == 0) continue;
    PyObject *inner = PyDict_New();
    if (inner == NULL) goto fail;
    for (Py_ssize_t e = pos; e < pos + count; ++e) {
      if (set_item_owned(inner, id_text(&d->edge_to[e]),
                         PyFloat_FromDouble((double)d->edge_weight[e])) < 0) {
        Py_DECREF(inner);
        goto fail;
      }
    }
    pos += count;
    if (set_item_owned(result, id_text(&d->group_from[g]), inner) < 0) goto fail;
  }
  return result;
fail:
  Py_DECREF(result);
  return NULL;
}

static PyObject *floor_deleted_edges(PyObject *self, PyObject *unused) {
  (void)unused;
  FloorDiff *d = (FloorDiff *)self;
  PyObject *result = PyDict_New();
  if (result == NULL) return NULL;
  Py_ssize_t pos = 0;
  for (Py_ssize_t g = 0; g < d->n_dgroups; ++g) {
    Py_ssize_t count = d->dgroup_size[g];
    if (count == 0) continue;
    PyObject *list = id_list(&d->dedge_to[pos], count);
    pos += count;
    if (set_item_owned(result, id_text(&d->dgroup_from[g]), list) < 0) {
      Py_DECREF(result);
      return NULL;
    }
  }
  return result;
}

/* The document stands in for the module's output buffer: one fresh bytes copy. */
static PyObject *floor_to_bytes(PyObject *self, PyObject *unused) {
  (void)unused;
  FloorDiff *d = (FloorDiff *)self;
  return PyBytes_FromStringAndSize(d->document, d->document_size);
}

static PyObject *floor_from_bytes(PyObject *unused, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames) {
  (void)unused;
  PyObject *bound[1];
  if (bind(&sig_from_bytes, args, nargs, kwnames, bound) < 0) return NULL;
  if (!PyBytes_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError, "argument 'bytes': '%s' object cannot be converted to 'PyBytes'",
                 Py_TYPE(bound[0])->tp_name);
    return NULL;
  }
  sink_len = PyBytes_GET_SIZE(bound[0]);
  return floor_type->tp_alloc(floor_type, 0);
}

/* ---- set-up, never timed ---- */

static void free_shape(FloorDiff *d) {
  for (Py_ssize_t i = 0; i < d->n_nodes; ++i) {
    PyMem_Free(d->records[i].label);
    PyMem_Free(d->records[i].url);
  }
  PyMem_Free(d->node_ids);
  PyMem_Free(d->records);
  PyMem_Free(d->deleted_ids);
  PyMem_Free(d->group_from);
  PyMem_Free(d->group_size);
  PyMem_Free(d->edge_to);
  PyMem_Free(d->edge_weight);
  PyMem_Free(d->dgroup_from);
  PyMem_Free(d->dgroup_size);
  PyMem_Free(d->dedge_to);
  PyMem_Free(d->document);
}

static Id *copy_ids(PyObject *packed, Py_ssize_t *count) {
  if (!PyBytes_Check(packed) || PyBytes_GET_SIZE(packed) % 16 != 0) {
    PyErr_SetString(PyExc_ValueError, "ids must be bytes of a multiple of 16 bytes");
    return NULL;
  }
  *count = PyBytes_GET_SIZE(packed) / 16;
  Id *ids = PyMem_Malloc((size_t)(*count > 0 ? *count : 1) * sizeof(Id));
  if (ids == NULL) {
    PyErr_NoMemory();
    return NULL;
  }
  memcpy(ids, PyBytes_AS_STRING(packed), (size_t)*count * sizeof(Id));
  return ids;
}

static Py_ssize_t *copy_sizes(PyObject *seq, Py_ssize_t expected, Py_ssize_t *total) {
  PyObject *fast = PySequence_Fast(seq, "sizes must be a sequence");
  if (fast == NULL) return NULL;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  if (n != expected) {
    Py_DECREF(fast);
    PyErr_SetString(PyExc_ValueError, "one size per group");
    return NULL;
  }
  Py_ssize_t *sizes = PyMem_Malloc((size_t)(n > 0 ? n : 1) * sizeof(Py_ssize_t));
  if (sizes == NULL) {
    Py_DECREF(fast);
    PyErr_NoMemory();
    return NULL;
  }
  *total = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    sizes[i] = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(fast, i));
    if (sizes[i] < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative size");
      PyMem_Free(sizes);
      Py_DECREF(fast);
      return NULL;
    }
    *total += sizes[i];
  }
  Py_DECREF(fast);
  return sizes;
}

static int copy_text(PyObject *value, char **out, Py_ssize_t *len) {
  Py_ssize_t n;
  const char *utf8 = PyUnicode_AsUTF8AndSize(value, &n);
  if (utf8 == NULL) return -1;
  *out = PyMem_Malloc((size_t)(n > 0 ? n : 1));
  if (*out == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  memcpy(*out, utf8, (size_t)n);
  *len = n;
  return 0;
}

/* set_nodes(ids: bytes, records: list of 7-tuples (label, url, size, red, green,
 * blue, show_label), None where a field is absent) */
static PyObject *floor_set_nodes(PyObject *self, PyObject *args) {
  FloorDiff *d = (FloorDiff *)self;
  PyObject *packed, *records;
  if (!PyArg_ParseTuple(args, "SO!", &packed, &PyList_Type, &records)) return NULL;
  Py_ssize_t n;
  Id *ids = copy_ids(packed, &n);
  if (ids == NULL) return NULL;
  if (PyList_GET_SIZE(records) != n) {
    PyMem_Free(ids);
    PyErr_SetString(PyExc_ValueError, "one record per id");
    return NULL;
  }
  Record *recs = PyMem_Calloc((size_t)(n > 0 ? n : 1), sizeof(Record));
  if (recs == NULL) {
    PyMem_Free(ids);
    return PyErr_NoMemory();
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *t = PyList_GET_ITEM(records, i);
    Record *r = &recs[i];
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 7) {
      PyErr_SetString(PyExc_ValueError, "records are 7-tuples");
      goto fail;
    }
    PyObject *v;
    if ((v = PyTuple_GET_ITEM(t, 0)) != Py_None) {
      if (copy_text(v, &r->label, &r->label_len) < 0) goto fail;
      r->mask |= kLabel;
    }
    if ((v = PyTuple_GET_ITEM(t, 1)) != Py_None) {
      if (copy_text(v, &r->url, &r->url_len) < 0) goto fail;
      r->mask |= kUrl;
    }
    if ((v = PyTuple_GET_ITEM(t, 2)) != Py_None) {
      if (float_from_arg(v, &r->size) < 0) goto fail;
      r->mask |= kSize;
    }
    unsigned char *colours[3] = {&r->red, &r->green, &r->blue};
    for (int c = 0; c < 3; ++c) {
      if ((v = PyTuple_GET_ITEM(t, 3 + c)) != Py_None) {
        if (u8_from_arg(v, colours[c]) < 0) goto fail;
        r->mask |= (unsigned)kRed << c;
      }
    }
    if ((v = PyTuple_GET_ITEM(t, 6)) != Py_None) {
      r->show_label = (unsigned char)(v == Py_True);
      r->mask |= kShowLabel;
    }
  }
  for (Py_ssize_t i = 0; i < d->n_nodes; ++i) {
    PyMem_Free(d->records[i].label);
    PyMem_Free(d->records[i].url);
  }
  PyMem_Free(d->node_ids);
  PyMem_Free(d->records);
  d->node_ids = ids;
  d->records = recs;
  d->n_nodes = n;
  Py_RETURN_NONE;
fail:
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyMem_Free(recs[i].label);
    PyMem_Free(recs[i].url);
  }
  PyMem_Free(recs);
  PyMem_Free(ids);
  return NULL;
}

static PyObject *floor_set_deleted_nodes(PyObject *self, PyObject *args) {
  FloorDiff *d = (FloorDiff *)self;
  PyObject *packed;
  if (!PyArg_ParseTuple(args, "S", &packed)) return NULL;
  Py_ssize_t n;
  Id *ids = copy_ids(packed, &n);
  if (ids == NULL) return NULL;
  PyMem_Free(d->deleted_ids);
  d->deleted_ids = ids;
  d->n_deleted = n;
  Py_RETURN_NONE;
}

/* set_edges(froms: bytes, sizes: list[int], tos: bytes, weights: list[float]) */
static PyObject *floor_set_edges(PyObject *self, PyObject *args) {
  FloorDiff *d = (FloorDiff *)self;
  PyObject *froms, *sizes_seq, *tos, *weights_seq;
  if (!PyArg_ParseTuple(args, "SOSO", &froms, &sizes_seq, &tos, &weights_seq)) return NULL;
  Py_ssize_t n_groups, n_edges, total;
  Id *from_ids = NULL, *to_ids = NULL;
  Py_ssize_t *sizes = NULL;
  float *weights = NULL;
  PyObject *fast = NULL;
  if ((from_ids = copy_ids(froms, &n_groups)) == NULL) goto fail;
  if ((sizes = copy_sizes(sizes_seq, n_groups, &total)) == NULL) goto fail;
  if ((to_ids = copy_ids(tos, &n_edges)) == NULL) goto fail;
  if ((fast = PySequence_Fast(weights_seq, "weights must be a sequence")) == NULL) goto fail;
  if (n_edges != total || PySequence_Fast_GET_SIZE(fast) != total) {
    PyErr_SetString(PyExc_ValueError, "sizes, targets and weights disagree");
    goto fail;
  }
  weights = PyMem_Malloc((size_t)(total > 0 ? total : 1) * sizeof(float));
  if (weights == NULL) {
    PyErr_NoMemory();
    goto fail;
  }
  for (Py_ssize_t i = 0; i < total; ++i) {
    if (float_from_arg(PySequence_Fast_GET_ITEM(fast, i), &weights[i]) < 0) goto fail;
  }
  Py_DECREF(fast);
  PyMem_Free(d->group_from);
  PyMem_Free(d->group_size);
  PyMem_Free(d->edge_to);
  PyMem_Free(d->edge_weight);
  d->group_from = from_ids;
  d->group_size = sizes;
  d->edge_to = to_ids;
  d->edge_weight = weights;
  d->n_groups = n_groups;
  Py_RETURN_NONE;
fail:
  Py_XDECREF(fast);
  PyMem_Free(from_ids);
  PyMem_Free(sizes);
  PyMem_Free(to_ids);
  PyMem_Free(weights);
  return NULL;
}

/* set_deleted_edges(froms: bytes, sizes: list[int], tos: bytes) */
static PyObject *floor_set_deleted_edges(PyObject *self, PyObject *args) {
  FloorDiff *d = (FloorDiff *)self;
  PyObject *froms, *sizes_seq, *tos;
  if (!PyArg_ParseTuple(args, "SOS", &froms, &sizes_seq, &tos)) return NULL;
  Py_ssize_t n_groups, n_edges, total;
  Id *from_ids = NULL, *to_ids = NULL;
  Py_ssize_t *sizes = NULL;
  if ((from_ids = copy_ids(froms, &n_groups)) == NULL) goto fail;
  if ((sizes = copy_sizes(sizes_seq, n_groups, &total)) == NULL) goto fail;
  if ((to_ids = copy_ids(tos, &n_edges)) == NULL) goto fail;
  if (n_edges != total) {
    PyErr_SetString(PyExc_ValueError, "sizes and targets disagree");
    goto fail;
  }
  PyMem_Free(d->dgroup_from);
  PyMem_Free(d->dgroup_size);
  PyMem_Free(d->dedge_to);
  d->dgroup_from = from_ids;
  d->dgroup_size = sizes;
  d->dedge_to = to_ids;
  d->n_dgroups = n_groups;
  Py_RETURN_NONE;
fail:
  PyMem_Free(from_ids);
  PyMem_Free(sizes);
  PyMem_Free(to_ids);
  return NULL;
}

/* The pages are written here, as a finished document's would be. */
static PyObject *floor_set_document_size(PyObject *self, PyObject *args) {
  FloorDiff *d = (FloorDiff *)self;
  Py_ssize_t n;
  if (!PyArg_ParseTuple(args, "n", &n)) return NULL;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "negative size");
    return NULL;
  }
  char *doc = PyMem_Malloc((size_t)(n > 0 ? n : 1));
  if (doc == NULL) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < n; ++i) doc[i] = (char)(i * 131);
  PyMem_Free(d->document);
  d->document = doc;
  d->document_size = n;
  Py_RETURN_NONE;
}

static PyObject *floor_set_counts(PyObject *self, PyObject *args) {
  FloorDiff *d = (FloorDiff *)self;
  unsigned long long nodes, edges;
  if (!PyArg_ParseTuple(args, "KK", &nodes, &edges)) return NULL;
  d->count_nodes = nodes;
  d->count_edges = edges;
  Py_RETURN_NONE;
}

static PyObject *floor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "FloorDiff() takes no arguments");
    return NULL;
  }
  return type->tp_alloc(type, 0);
}

static void floor_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  free_shape((FloorDiff *)self);
  type->tp_free(self);
  Py_DECREF(type);
}

#define FASTCALL (METH_FASTCALL | METH_KEYWORDS)

static PyMethodDef floor_methods[] = {
    {"new_or_updated_nodes", floor_new_or_updated_nodes, METH_NOARGS, NULL},
    {"deleted_nodes", floor_deleted_nodes, METH_NOARGS, NULL},
    {"new_or_updated_edges", floor_new_or_updated_edges, METH_NOARGS, NULL},
    {"deleted_edges", floor_deleted_edges, METH_NOARGS, NULL},
    {"num_nodes", floor_num_nodes, METH_NOARGS, NULL},
    {"num_edges", floor_num_edges, METH_NOARGS, NULL},
    {"add_node", (PyCFunction)(void (*)(void))floor_add_node, FASTCALL, NULL},
    {"delete_node", (PyCFunction)(void (*)(void))floor_delete_node, FASTCALL, NULL},
    {"add_edge", (PyCFunction)(void (*)(void))floor_add_edge, FASTCALL, NULL},
    {"delete_edge", (PyCFunction)(void (*)(void))floor_delete_edge, FASTCALL, NULL},
    {"clear", floor_clear, METH_NOARGS, NULL},
    {"to_bytes", floor_to_bytes, METH_NOARGS, NULL},
    {"from_bytes", (PyCFunction)(void (*)(void))floor_from_bytes, FASTCALL | METH_STATIC, NULL},
    {"set_nodes", floor_set_nodes, METH_VARARGS, NULL},
    {"set_deleted_nodes", floor_set_deleted_nodes, METH_VARARGS, NULL},
    {"set_edges", floor_set_edges, METH_VARARGS, NULL},
    {"set_deleted_edges", floor_set_deleted_edges, METH_VARARGS, NULL},
    {"set_document_size", floor_set_document_size, METH_VARARGS, NULL},
    {"set_counts", floor_set_counts, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_new, floor_new},
    {Py_tp_dealloc, floor_dealloc},
    {Py_tp_methods, floor_methods},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    "kovra_floor.FloorDiff", sizeof(FloorDiff), 0, Py_TPFLAGS_DEFAULT, floor_slots,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "kovra_floor", "Call-floor baseline for the kovra_api benchmarks.",
    -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_kovra_floor(void) {
  for (int i = 0; i < 7; ++i) {
    if (field_keys[i] == NULL) {
      field_keys[i] = PyUnicode_InternFromString(kFieldNames[i]);
      if (field_keys[i] == NULL) return NULL;
    }
  }
  for (size_t s = 0; s < sizeof all_signatures / sizeof all_signatures[0]; ++s) {
    Signature *sig = all_signatures[s];
    for (int i = 0; i < sig->count; ++i) {
      if (sig->interned[i] == NULL &&
          (sig->interned[i] = PyUnicode_InternFromString(sig->names[i])) == NULL)
        return NULL;
    }
  }
  if (floor_type == NULL) {
    floor_type = (PyTypeObject *)PyType_FromSpec(&floor_spec);
    if (floor_type == NULL) return NULL;
  }
  PyObject *module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  if (PyModule_AddObjectRef(module, "FloorDiff", (PyObject *)floor_type) < 0) {
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
