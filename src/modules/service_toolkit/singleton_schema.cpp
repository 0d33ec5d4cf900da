// service_toolkit: SingletonMeta, the process-wide singleton metaclass, and
// add_extra_properties_to_schema, which extends a JSON schema with the
// undeclared keys of an application-settings file.
#include "toolkit.hpp"

#include "binding/context.hpp"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace toolkit {
namespace {

Name n_instances("_instances");
Name n_load("load");
Name n_items("items");

// Texts: schema keys and JSON-schema type names.
Name s_properties("properties");
Name s_extra("extra");
Name s_type("type");
Name s_object("object");
Name s_string("string");
Name s_read_mode("r");

Ref getitem(Handle container, Handle key) { return check(PyObject_GetItem(container.ptr(), key.ptr())); }
Ref type_of(Handle obj) { return Ref::borrow(reinterpret_cast<PyObject*>(obj.type())); }

// The next item of an iterator, or a null Ref at its end.
Ref next(Handle iterator) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) rethrow();
    return Ref::steal(item);
}

// --- SingletonMeta -----------------------------------------------------------------

// First constructions of a class are serialised by a lock of that class, so
// that concurrent first calls make one instance. The lock is recursive (a
// class whose __init__ calls the class again on the same thread goes on),
// and a waiting thread releases the interpreter lock while it waits.
// Entries are keyed by the class object, which the waiting callers keep
// alive, and are dropped when their last user leaves. The table is touched
// only while the interpreter lock is held; it is never destroyed, as threads
// may still be waiting on a lock when the process exits. This table is the
// module's only state of its own (the asynchronous messenger's channels are
// the service layer's): a plain static serves, since the module is
// initialised once per process and into one interpreter only
// (binding/module.hpp refuses a second initialisation and a second interpreter).
struct ClassLock {
    std::recursive_mutex mutex;
    size_t users = 0;
};
using ClassLocks = std::unordered_map<PyObject*, std::unique_ptr<ClassLock>>;
ClassLocks* class_locks = new ClassLocks();

class ClassLockGuard {
public:
    explicit ClassLockGuard(Handle cls) : table_(class_locks), key_(cls.ptr()) {
        auto slot = table_->try_emplace(key_).first;
        if (!slot->second) slot->second = std::make_unique<ClassLock>();
        lock_ = slot->second.get();
        ++lock_->users;
        if (lock_->mutex.try_lock()) return;
        bool locked = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            lock_->mutex.lock();
            locked = true;
        }
        BINDING_PASS_FORCED_UNWIND
        catch (...) {  // std::system_error: reported below
        }
        Py_END_ALLOW_THREADS
        if (!locked) {
            leave();
            raise(PyExc_RuntimeError, "could not take the construction lock of a singleton class");
        }
    }
    ~ClassLockGuard() {
        lock_->mutex.unlock();
        leave();
    }
    ClassLockGuard(const ClassLockGuard&) = delete;
    ClassLockGuard& operator=(const ClassLockGuard&) = delete;

private:
    void leave() noexcept {
        if (--lock_->users == 0) table_->erase(key_);
    }
    ClassLocks* table_;  // the table of the lock (a forked child gets a new one)
    PyObject* key_;
    ClassLock* lock_;
};

// SingletonMeta.__call__(cls, *args, **kwargs): the one instance of `cls`,
// constructed by type.__call__ on the first call and stored in the registry.
Ref singleton_call(const Args& a) {
    Handle cls = a[0];
    if (!contains(getattr(cls, n_instances), cls)) {
        ClassLockGuard guard(cls);
        if (!contains(getattr(cls, n_instances), cls)) {
            Ref construct = getattr(super(a.owner_class(), cls), n_dunder_call);
            Ref instance = call_star(construct, {}, a.varargs(), a.kwargs_if_any());
            set_item(getattr(cls, n_instances), cls, instance);
        }
        return getitem(getattr(cls, n_instances), cls);
    }
    return getitem(getattr(cls, n_instances), cls);
}


// --- add_extra_properties_to_schema ------------------------------------------------

// JSON-schema type of a settings value, by the name of the value's type.
const char* const type_table[][2] = {
    {"str", "string"}, {"int", "integer"}, {"float", "number"}, {"bool", "boolean"},
    {"list", "array"}, {"dict", "object"}, {"NoneType", "null"},
};
Name json_types[] = {Name("string"), Name("integer"), Name("number"), Name("boolean"),
                     Name("array"), Name("object"), Name("null")};

Ref make_type_mapping() {
    Ref mapping = new_dict();
    for (const auto& row : type_table) set_item(mapping, new_str(row[0]), new_str(row[1]));
    return mapping;
}

// The JSON type of `value`. The built-in types of the table cannot be renamed,
// so for them the answer is known without reading `__name__`; any other type
// is looked up by its name in the table (built once per call, on first need).
Ref json_type_of(Handle value, Ref& type_mapping) {
    PyTypeObject* const builtins[] = {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type,
                                      &PyList_Type,    &PyDict_Type, Py_TYPE(Py_None)};
    for (size_t i = 0; i < std::size(builtins); ++i)
        if (value.type() == builtins[i]) return json_types[i].get().ref();
    if (!type_mapping) type_mapping = make_type_mapping();
    Ref type_name = getattr(type_of(value), n_dunder_name);
    return call_method(type_mapping, n_get, type_name, s_string);
}

// Describe every settings key that schema["properties"] does not declare, in
// file order, under schema["properties"]["extra"]; that assignment, made only
// when there is something to add, is the one change made to `schema`.
Ref add_extra_properties_to_schema(const Args& a) {
    Handle schema = a[0], appsettings_path = a[1];
    Ref file = call(a.global(n_open), appsettings_path, s_read_mode);
    Ref appsettings = with_block(file, [&](Handle f) { return call_method(a.global(n_json), n_load, f); });

    Ref extra_properties = new_dict();
    Ref type_mapping;
    auto describe = [&](Handle key, Handle value) {
        if (contains(getitem(schema, s_properties), key)) return;
        check(PyDict_SetItem(extra_properties.ptr(), key.ptr(), dict_of({{s_type, json_type_of(value, type_mapping)}}).ptr()));
    };
    if (PyDict_CheckExact(appsettings.ptr())) {
        // What iterating dict.items() gives, without the view and the pair tuples.
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(appsettings.ptr());
        PyObject *key, *value;
        while (PyDict_Next(appsettings.ptr(), &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);  // held: the loop body runs Python code
            describe(k, v);
            if (PyDict_GET_SIZE(appsettings.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
    } else {
        Ref items = check(PyObject_GetIter(call_method(appsettings, n_items).ptr()));
        while (Ref item = next(items)) {
            auto [key, value] = unpack<2>(item);
            describe(key, value);
        }
    }
    if (truthy(extra_properties)) {
        Ref block = new_dict();
        set_item(block, s_type, s_object);
        set_item(block, s_properties, extra_properties);
        set_item(getitem(schema, s_properties), s_extra, block);
    }
    return schema.ref();
}


}  // namespace

// A lock held at the fork by a thread the child does not have would never be
// released there: the child starts with a table of its own (the old one, and
// any lock in it, is left as it is).
void reset_singleton_locks() { class_locks = new ClassLocks(); }

const FunctionSpec singleton_call_spec{
    .name = "__call__",
    .qualname = "SingletonMeta.__call__",
    .params = {{"cls"}},
    .varargs = "args",
    .varargs_annotation = "Any",
    .kwargs = "kwargs",
    .kwargs_annotation = "Any",
    .returns = "Any",
    .body = singleton_call,
};

const FunctionSpec add_extra_properties_spec{
    .name = "add_extra_properties_to_schema",
    .params = {{"schema", "Dict[str, Any]", ExactType::Dict}, {"appsettings_path", "str", ExactType::Str}},
    .returns = "Dict[str, Any]",
    .body = add_extra_properties_to_schema,
};

}  // namespace toolkit
