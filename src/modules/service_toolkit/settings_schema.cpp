// service_toolkit: add_extra_properties_to_schema, which extends a JSON
// schema with the undeclared keys of an application-settings file.
#include "toolkit.hpp"

#include "binding/context.hpp"

namespace toolkit {
namespace {

// A global looked up at each call (the built-in unless the module has its own).
Name n_open("open");

// json.load, and the items of the settings read.
Name n_load("load");
Name n_items("items");

// Texts: schema keys and JSON-schema type names.
Name s_properties("properties");
Name s_extra("extra");
Name s_type("type");
Name s_object("object");
Name s_string("string");
Name s_read_mode("r");

Ref type_of(Handle obj) { return Ref::borrow(reinterpret_cast<PyObject*>(obj.type())); }

// The next item of an iterator, or a null Ref at its end.
Ref next(Handle iterator) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) rethrow();
    return Ref::steal(item);
}

// JSON-schema type of a settings value, by the name of the value's type.
const char* const type_table[][2] = {
    {"str", "string"}, {"int", "integer"}, {"float", "number"},  {"bool", "boolean"},
    {"list", "array"}, {"dict", "object"}, {"NoneType", "null"},
};
Name json_types[] = {Name("string"), Name("integer"), Name("number"), Name("boolean"),
                     Name("array"),  Name("object"),  Name("null")};

Ref make_type_mapping() {
    Ref mapping = new_dict();
    for (const auto& row : type_table) set_item(mapping, new_str(row[0]), new_str(row[1]));
    return mapping;
}

// The JSON type of `value`. The built-in types of the table cannot be renamed,
// so for them the answer is known without reading `__name__`; any other type
// is looked up by its name in the table (built once per call, on first need).
Ref json_type_of(Handle value, Ref& type_mapping) {
    PyTypeObject* const builtins[] = {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type,   &PyBool_Type,
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
        if (contains(get_item(schema, s_properties), key)) return;
        check(PyDict_SetItem(extra_properties.ptr(), key.ptr(),
                             dict_of({{s_type, json_type_of(value, type_mapping)}}).ptr()));
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
        set_item(get_item(schema, s_properties), s_extra, block);
    }
    return schema.ref();
}

const FunctionSpec add_extra_properties_spec{
    .name = "add_extra_properties_to_schema",
    .params = {{"schema", "Dict[str, Any]", ExactType::Dict}, {"appsettings_path", "str", ExactType::Str}},
    .returns = "Dict[str, Any]",
    .body = add_extra_properties_to_schema,
};

}  // namespace

void add_settings_schema(Module m) { m.add("add_extra_properties_to_schema", m.function(add_extra_properties_spec)); }

}  // namespace toolkit
