// veltrano_python_configuration.broker_setup: copies the Kafka part of a
// service's settings onto the service's own Kafka configuration object.
#include "binding/module.hpp"

using namespace binding;

namespace {

Name n_config("_config");

// The settings keys read by build, and the attribute each one is copied to.
struct Setting {
    Name key;
    Name attribute;
};
Setting settings[] = {
    {Name("broker"), Name("_broker")},
    {Name("push_topic"), Name("_push_topic")},
    {Name("read_topic"), Name("_read_topic")},
    {Name("dead_letter_topic_name"), Name("_dead_letter_topic_name")},
};

// KafkaConfigurationBuilder.__init__(self, config): remember the object to fill.
Ref init(const Args& a) {
    Handle self = a[0], config = a[1];
    setattr(self, n_config, config);
    return none().ref();
}

const FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "KafkaConfigurationBuilder.__init__",
    .params = {{"self"}, {"config", "Any"}},
    .returns = "None",
    .body = init,
};

// KafkaConfigurationBuilder.build(self, data): each key's value (None when
// absent) goes onto the configuration object, read afresh for every key.
Ref build(const Args& a) {
    Handle self = a[0], data = a[1];
    for (const Setting& s : settings) {
        PyObject* found = nullptr;
        Ref value = check(PyDict_GetItemRef(data.ptr(), s.key.get().ptr(), &found)) ? Ref::steal(found) : none().ref();
        setattr(getattr(self, n_config), s.attribute, value);
    }
    return none().ref();
}

const FunctionSpec build_spec{
    .name = "build",
    .qualname = "KafkaConfigurationBuilder.build",
    .params = {{"self"}, {"data", "Dict[str, Any]", ExactType::Dict}},
    .returns = "None",
    .body = build,
};

void exec(Module m) {
    Ref typing = import("typing");
    m.add("Any", getattr(typing, "Any"));
    m.add("Dict", getattr(typing, "Dict"));
    m.add("InvalidKafkaConfigurationError",
          make_class(m, "InvalidKafkaConfigurationError", {Handle(PyExc_Exception)}, nullptr, {}));
    m.add("KafkaConfigurationBuilder",
          make_class(m, "KafkaConfigurationBuilder", {}, nullptr,
                     {{"__init__", m.function(init_spec)}, {"build", m.function(build_spec)}}));
}

}  // namespace

BINDING_MODULE(broker_setup, exec)
