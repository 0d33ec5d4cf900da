// service_toolkit: SingletonMeta, the process-wide singleton metaclass.
#include "toolkit.hpp"

#include "binding/lifecycle.hpp"

#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>

namespace toolkit {
namespace {

Name n_instances("_instances");

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
        } catch (const std::system_error&) {  // reported below
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

// A lock held at the fork by a thread the child does not have would never be
// released there: the child starts with a table of its own (the old one, and
// any lock in it, is left as it is).
void reset_singleton_locks() { class_locks = new ClassLocks(); }

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
        return get_item(getattr(cls, n_instances), cls);
    }
    return get_item(getattr(cls, n_instances), cls);
}

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

constexpr const char* singleton_doc = "\n    This is a thread-safe implementation of Singleton.\n    ";

}  // namespace

void add_singleton(Module m) {
    m.add("SingletonMeta",
          make_class(m, "SingletonMeta", {Handle(reinterpret_cast<PyObject*>(&PyType_Type))}, singleton_doc,
                     {{"__annotations__", dict_of({{new_str("_instances"), new_str("Dict[type, Any]")}})},
                      {"_instances", new_dict()},
                      {"__call__", m.function(singleton_call_spec)}}));
    at_fork_child(reset_singleton_locks);
}

}  // namespace toolkit
