// service_toolkit: the Google Chat card message and the two messengers that
// post it to a room's incoming webhook, GoogleChatSyncMessenger (requests, on
// the caller's thread) and GoogleChatAsyncMessenger (aiohttp, from an asyncio
// consumer task fed through the service layer's channel), and
// setup_google_chat_messenger, which picks one.
#include "toolkit.hpp"

#include "binding/context.hpp"
#include "binding/coroutine.hpp"
#include "service/channel.hpp"
#include "service/mask.hpp"

namespace toolkit {
using namespace service;
namespace {

// Module globals, looked up at each call.
Name n_aiohttp("aiohttp");
Name n_requests("requests");
Name n_GoogleChatSyncMessenger("GoogleChatSyncMessenger");
Name n_GoogleChatAsyncMessenger("GoogleChatAsyncMessenger");

// Methods and attributes of the libraries.
Name n_dumps("dumps");
Name n_post("post");
Name n_raise_for_status("raise_for_status");
Name n_get_event_loop("get_event_loop");
Name n_ClientSession("ClientSession");
Name n_write("write");
Name n_headers("headers");
Name n_data("data");

// The messengers' attributes and methods.
Name n_service_name("service_name");
Name n_default_g_chat_webhook("default_g_chat_webhook");
Name n_default_g_chat_error_webhook("default_g_chat_error_webhook");
Name n_g_chat_webhook("g_chat_webhook");
Name n_g_chat_error_webhook("g_chat_error_webhook");
Name n_environ("environ");
Name n_log_enabled("log_enabled");
Name n_color_dict("color_dict");
Name n_queue_task("queue_task");
Name n_send_message_async("_send_message_async");

// Texts: the card message, its header and colours.
Name s_cards("cards");
Name s_header("header");
Name s_title("title");
Name s_subtitle("subtitle");
Name s_sections("sections");
Name s_widgets("widgets");
Name s_text_paragraph("textParagraph");
Name s_text("text");
Name s_star("*");
Name s_underscore("_");
Name s_font_open("<font color='");
Name s_font_middle("'>");
Name s_font_close("</font>");
Name s_content_type("Content-Type");
Name s_json_utf8("application/json; charset=UTF-8");
Name s_green("#008000");
Name s_red("#FF0000");
Name s_black("#000000");
Name s_production_upper("PRODUCTION");
Name s_production_lower("production");
Name s_webhook_error("Error in webhookApi");
Name s_newline("\n");

// Seconds a post may take before it is given up (both messengers).
constexpr long long post_timeout_seconds = 10;

// --- the card message ----------------------------------------------------------------

// The string form an f-string gives: a str unchanged, anything else through format(obj, "").
Ref formatted(Handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) return obj.ref();
    return check(PyObject_Format(obj.ptr(), nullptr));
}

Ref make_headers() { return dict_of({{s_content_type, s_json_utf8}}); }

Ref make_color_dict() { return dict_of({{new_int(1), s_green}, {new_int(0), s_red}}); }

// {"cards": [{"header": {"title": "*<service>*", "subtitle": "_<environ>_"},
//             "sections": [{"widgets": [{"textParagraph": {"text": "<font color='<color>'><text></font>"}}]}]}]}
Ref make_card(Handle service_name, Handle environ, Handle color, Handle text) {
    Ref header = dict_of({{s_title, concat({s_star, formatted(service_name), s_star})},
                          {s_subtitle, concat({s_underscore, formatted(environ), s_underscore})}});
    Ref paragraph = dict_of(
        {{s_text, concat({s_font_open, formatted(color), s_font_middle, formatted(text), s_font_close})}});
    Ref section = dict_of({{s_widgets, list_of({dict_of({{s_text_paragraph, paragraph}})})}});
    Ref card = dict_of({{s_header, header}, {s_sections, list_of({section})}});
    return dict_of({{s_cards, list_of({card})}});
}

bool is_error_type(Handle message_type) { return equals(message_type, new_int(0)); }

// The failure path of both messengers: `self.logger.error("Error in webhookApi",
// exc_info=True)` while the failure is the handled exception, so its traceback
// is attached to the record. The logger sees a copy of the failure's chain with
// the secrets of `webhook` (the URL posted to; may be null) and of any URL the
// texts quote shown as "***" (service/mask.hpp). Nothing is logged when the
// logger is false.
void log_webhook_failure(Handle self, const PyError& error, Handle webhook) {
    Ref logger = getattr(self, n_logger);
    if (!truthy(logger)) return;
    SecretMask mask;
    if (webhook) {
        try {
            mask.add_url(webhook);
        } catch (PyError& e) {  // a webhook without a str() form has nothing to show
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    PyError shown = mask.hide_in(error);
    HandledScope scope(shown);
    call_method(logger, n_error, s_webhook_error, kw(n_exc_info, py_bool(true)));
}

// --- GoogleChatSyncMessenger -----------------------------------------------------

// The constructor parameters the two messengers share, then their own.
std::vector<Param> constructor_params(std::initializer_list<Param> own) {
    std::vector<Param> params = {{"self"},
                                 {"service_name", "str", ExactType::Str},
                                 {"g_chat_webhook", "str", ExactType::Str},
                                 {"g_chat_error_webhook", "str", ExactType::Str},
                                 {"environ", "str", ExactType::Str},
                                 {"log_enabled", "Optional[list[str]]", ExactType::List, default_none, true},
                                 {"logger", "Optional[logging.Logger]", ExactType::Any, default_none}};
    params.insert(params.end(), own);
    return params;
}

Ref default_enabled(std::initializer_list<Handle> names) { return list_of(names); }

// __init__(self, service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled=None, logger=None)
Ref sync_init(const Args& a) {
    Handle self = a[0], service_name = a[1], webhook = a[2], error_webhook = a[3], environ = a[4], log_enabled = a[5],
           logger = a[6];
    Ref enabled = log_enabled.is_none() ? default_enabled({s_production_upper, s_production_lower}) : log_enabled.ref();
    setattr(self, n_service_name, service_name);
    setattr(self, n_default_g_chat_webhook, webhook);
    setattr(self, n_default_g_chat_error_webhook, truthy(error_webhook) ? error_webhook : webhook);
    setattr(self, n_environ, environ);
    setattr(self, n_log_enabled, enabled);
    setattr(self, n_logger, logger);
    setattr(self, n_color_dict, make_color_dict());
    return none().ref();
}

const FunctionSpec sync_init_spec{
    .name = "__init__",
    .qualname = "GoogleChatSyncMessenger.__init__",
    .params = constructor_params({}),
    .returns = "None",
    .body = sync_init,
};

// send_message(self, text_message, message_type=1, webhook_url=None): post the
// card on this thread. Every failure, an HTTP error status and a timeout
// included, is logged (when there is a logger) and never raised.
Ref sync_send_message(const Args& a) {
    Handle self = a[0], text_message = a[1], message_type = a[2], webhook_url = a[3];
    Ref url;  // the webhook posted to, once chosen: its secrets are hidden in a logged failure
    try {
        Ref headers = make_headers();
        Ref environ = getattr(self, n_environ);
        if (!contains(getattr(self, n_log_enabled), environ)) return none().ref();
        Ref color = call_method(getattr(self, n_color_dict), n_get, message_type, s_black);
        url = truthy(webhook_url)           ? webhook_url.ref()
              : is_error_type(message_type) ? getattr(self, n_default_g_chat_error_webhook)
                                            : getattr(self, n_default_g_chat_webhook);
        Ref card = make_card(getattr(self, n_service_name), getattr(self, n_environ), color, text_message);
        Ref data = call_method(a.global(n_json), n_dumps, card);
        Ref response = call_method(a.global(n_requests), n_post, kw(n_url, url), kw(n_headers, headers),
                                   kw(n_data, data), kw(n_timeout, new_int(post_timeout_seconds)));
        call_method(response, n_raise_for_status);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log_webhook_failure(self, e, url);
    }
    return none().ref();
}

const FunctionSpec sync_send_message_spec{
    .name = "send_message",
    .qualname = "GoogleChatSyncMessenger.send_message",
    .doc = "Send a message to Google Chat synchronously, allowing dynamic webhook overrides.",
    .params = {{"self"},
               {"text_message", "str", ExactType::Str},
               {"message_type", "int", ExactType::Int, default_int(1)},
               {"webhook_url", "Optional[str]", ExactType::Str, default_none, true}},
    .returns = "None",
    .body = sync_send_message,
};

// --- GoogleChatAsyncMessenger ----------------------------------------------------
//
// An alert travels through the asyncio channel of the service layer
// (service/channel.hpp says where an alert goes from which thread, loop or
// process, and what happens at a loop's end, at exit and in a forked child).
// What is the messenger's own: an alert is a pair (text_message,
// message_type) posted by `_send_message_async`; no alert is ever dropped;
// one that could not be posted within the drain's budget is logged as
// "Undelivered Google Chat alert: <text>". Besides the documented
// attributes, __init__ sets `_channel`, the channel's state.

// An alert that could not be posted: one error record through the messenger's
// logger, or the same line on stderr without one.
void log_undelivered(Handle self, Handle item) {
    Ref text;
    try {
        text = unpack<2>(item)[0];
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        text = item.ref();  // a malformed queue item is shown whole
    }
    Ref line = format("Undelivered Google Chat alert: %S", text.ptr());
    Ref logger = getattr(self, n_logger);
    if (truthy(logger)) {
        call_method(logger, n_error, line, kw(n_exc_info, py_bool(false)));  // the line says it all
        return;
    }
    Ref stderr_stream = Ref::borrow(PySys_GetObject("stderr"));  // held: write() runs Python code
    if (stderr_stream && !stderr_stream.is_none()) call_method(stderr_stream, n_write, concat({line, s_newline}));
}

// What the channel needs of a GoogleChatAsyncMessenger.
struct MessengerKind final : ChannelKind {
    constexpr MessengerKind() : ChannelKind(false) {}
    void start_consumer(Handle self) const override { call_method(self, n_ensure_queue_processing); }
    void forget_consumers(Handle self) const override { setattr(self, n_queue_task, none()); }
    Ref handle(Handle self, Handle item) const override {
        auto [text_message, message_type] = unpack<2>(item);
        return call_method(self, n_send_message_async, text_message, message_type);
    }
    void undelivered(Handle self, Handle item) const override { log_undelivered(self, item); }
};
const MessengerKind messenger_kind;

// __init__(self, service_name, g_chat_webhook, g_chat_error_webhook, environ,
//          log_enabled=None, logger=None, max_queue_size=100)
Ref async_init(const Args& a) {
    Handle self = a[0], service_name = a[1], webhook = a[2], error_webhook = a[3], environ = a[4], log_enabled = a[5],
           logger = a[6], max_queue_size = a[7];
    Ref enabled = log_enabled.is_none() ? default_enabled({s_production_upper}) : log_enabled.ref();
    setattr(self, n_g_chat_error_webhook, truthy(error_webhook) ? error_webhook : webhook);
    setattr(self, n_service_name, service_name);
    setattr(self, n_g_chat_webhook, webhook);
    setattr(self, n_environ, environ);
    setattr(self, n_log_enabled, enabled);
    setattr(self, n_logger, logger);
    setattr(self, n_color_dict, make_color_dict());
    setattr(self, n_log_queue, call_method(a.global(n_asyncio), n_Queue, max_queue_size));
    setattr(self, n_queue_task, none());
    channel::attach(self);
    return none().ref();
}

const FunctionSpec async_init_spec{
    .name = "__init__",
    .qualname = "GoogleChatAsyncMessenger.__init__",
    .params = constructor_params({{"max_queue_size", "int", ExactType::Int, default_int(100)}}),
    .returns = "None",
    .body = async_init,
};

// _ensure_queue_processing(self): start a consumer task on the thread's
// current event loop unless the messenger's consumer runs there.
Ref ensure_queue_processing(const Args& a) {
    Handle self = a[0];
    Ref asyncio = a.global(n_asyncio);
    Ref loop = call_method(asyncio, n_get_event_loop);
    if (channel::serves(self, loop)) return none().ref();
    Ref consumer = channel::consumer_task(self, loop, call_method(self, n_process_log_queue));
    setattr(self, n_queue_task, consumer ? consumer : none().ref());
    return none().ref();
}

const FunctionSpec ensure_queue_processing_spec{
    .name = "_ensure_queue_processing",
    .qualname = "GoogleChatAsyncMessenger._ensure_queue_processing",
    .params = {{"self"}},
    .returns = "None",
    .body = ensure_queue_processing,
};

// async _enqueue_message(self, text_message, message_type): put the alert,
// waiting for room when the queue is full, first come, first served.
Async enqueue_message(const Args& a) {
    Handle text_message = a[1], message_type = a[2];
    return channel::put(a, new_tuple({text_message, message_type}));
}

const FunctionSpec enqueue_message_spec{
    .name = "_enqueue_message",
    .qualname = "GoogleChatAsyncMessenger._enqueue_message",
    // None is accepted as "no message type": it is posted as an "other" message.
    .params = {{"self"},
               {"text_message", "str", ExactType::Str},
               {"message_type", "int", ExactType::Int, no_default, true}},
    .returns = "None",
    .async_body = enqueue_message,
};

// async _process_log_queue(self): the consumer; it posts the queued alerts
// one at a time, in queue order.
Async process_log_queue(const Args& a) { return channel::consume(a); }

const FunctionSpec process_log_queue_spec{
    .name = "_process_log_queue",
    .qualname = "GoogleChatAsyncMessenger._process_log_queue",
    .params = {{"self"}},
    .returns = "None",
    .async_body = process_log_queue,
};

// send_message(self, text_message, message_type=None): the alert goes to the
// channel during the call; with no running loop it is posted before the call
// returns (when no other thread's loop serves the messenger).
Ref async_send_message(const Args& a) {
    Handle self = a[0], text_message = a[1], message_type = a[2];
    Ref asyncio = a.global(n_asyncio);
    channel::submit(self, new_tuple({text_message, message_type}), channel::running_loop(asyncio), asyncio);
    return none().ref();
}

const FunctionSpec async_send_message_spec{
    .name = "send_message",
    .qualname = "GoogleChatAsyncMessenger.send_message",
    .doc = "Send message to Google Chat, either synchronously or asynchronously.",
    .params = {{"self"},
               {"text_message", "str", ExactType::Str},
               {"message_type", "int", ExactType::Int, default_none, true}},
    .returns = "None",
    .body = async_send_message,
};

// async _send_message_async(self, text_message, message_type): post one card
// with aiohttp, the whole post bounded by a ten-second timeout. Every failure,
// an HTTP error status and a timeout included, is logged (when there is a
// logger) and swallowed, so the consumer goes on.
Async send_message_async(const Args& a) {
    Handle self = a[0], text_message = a[1], message_type = a[2];
    Ref url;  // the webhook posted to, once chosen: its secrets are hidden in a logged failure
    std::optional<PyError> failure;
    try {
        Ref headers = make_headers();
        Ref environ = getattr(self, n_environ);
        if (!contains(getattr(self, n_log_enabled), environ)) co_return none();
        Ref color = call_method(getattr(self, n_color_dict), n_get, message_type, s_black);
        url = is_error_type(message_type) ? getattr(self, n_g_chat_error_webhook) : getattr(self, n_g_chat_webhook);
        Ref card = make_card(getattr(self, n_service_name), getattr(self, n_environ), color, text_message);

        // async with asyncio.timeout(10): bounds the post from outside the HTTP
        // library's calls, which stay as they are; a timeout leaves the block
        // as TimeoutError, logged as any other failure. The managers, the
        // session and the response are kept where the collector sees them:
        // through the connection's futures they lead back to this coroutine.
        AsyncWith deadline(co_await hold(call(getattr(a.global(n_asyncio), n_timeout), new_int(post_timeout_seconds))));
        co_await deadline.enter();
        std::optional<PyError> post_error;
        try {
            // async with aiohttp.ClientSession() as session:
            AsyncWith session_block(co_await hold(call_method(a.global(n_aiohttp), n_ClientSession)));
            Handle session = co_await hold(co_await session_block.enter());
            std::optional<PyError> session_error;
            try {
                Ref data = call_method(a.global(n_json), n_dumps, card);
                // async with session.post(url=..., headers=..., data=...) as response:
                AsyncWith request(co_await hold(
                    call_method(session, n_post, kw(n_url, url), kw(n_headers, headers), kw(n_data, data))));
                Handle response = co_await hold(co_await request.enter());
                std::optional<PyError> request_error;
                try {
                    call_method(response, n_raise_for_status);
                    channel::delivered(self, a.global(n_asyncio));  // answered: never posted again
                } catch (PyError& e) {
                    request_error.emplace(std::move(e));
                }
                if (request_error && is_closing(a.coroutine())) request.exit_closing(request_error);
                AsyncWith::leave(co_await request.exit(request_error), request_error);
            } catch (PyError& e) {
                session_error.emplace(std::move(e));
            }
            if (session_error && is_closing(a.coroutine())) session_block.exit_closing(session_error);
            AsyncWith::leave(co_await session_block.exit(session_error), session_error);
        } catch (PyError& e) {
            post_error.emplace(std::move(e));
        }
        if (post_error && is_closing(a.coroutine())) deadline.exit_closing(post_error);
        AsyncWith::leave(co_await deadline.exit(post_error), post_error);
    } catch (PyError& e) {
        // Closed (the loop that ran it was abandoned mid-post): what tearing
        // the post down raised belongs to that loop; nothing to log or report.
        if (is_closing(a.coroutine())) co_return none();
        if (!e.matches(PyExc_Exception)) throw;
        failure.emplace(std::move(e));
    }
    if (failure) log_webhook_failure(self, *failure, url);
    co_return none();
}

const FunctionSpec send_message_async_spec{
    .name = "_send_message_async",
    .qualname = "GoogleChatAsyncMessenger._send_message_async",
    .doc = "Send message to Google Chat asynchronously.",
    .params = {{"self"},
               {"text_message", "str", ExactType::Str},
               {"message_type", "int", ExactType::Int, no_default, true}},
    .returns = "None",
    .async_body = send_message_async,
};

// --- setup_google_chat_messenger -----------------------------------------------------

// setup_google_chat_messenger(service_name, g_chat_webhook, g_chat_error_webhook, environ,
//                             async_mode=False, log_enabled=None, logger=None): a new messenger of either class
Ref setup_google_chat_messenger(const Args& a) {
    Handle service_name = a[0], webhook = a[1], error_webhook = a[2], environ = a[3], async_mode = a[4],
           log_enabled = a[5], logger = a[6];
    Ref cls = truthy(async_mode) ? a.global(n_GoogleChatAsyncMessenger) : a.global(n_GoogleChatSyncMessenger);
    return call(cls, service_name, webhook, error_webhook, environ, log_enabled, logger);
}

const FunctionSpec setup_google_chat_messenger_spec{
    .name = "setup_google_chat_messenger",
    .params = {{"service_name", "str", ExactType::Str},
               {"g_chat_webhook", "str", ExactType::Str},
               {"g_chat_error_webhook", "str", ExactType::Str},
               {"environ", "str", ExactType::Str},
               {"async_mode", "bool", ExactType::Any, default_bool(false)},
               {"log_enabled", "Optional[list[str]]", ExactType::List, default_none, true},
               {"logger", "Optional[logging.Logger]", ExactType::Any, default_none}},
    .returns = "Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]",
    .body = setup_google_chat_messenger,
};

}  // namespace

void add_messengers(Module m) {
    m.add("GoogleChatSyncMessenger",
          make_class(m, "GoogleChatSyncMessenger", {}, nullptr,
                     {{"__init__", m.function(sync_init_spec)}, {"send_message", m.function(sync_send_message_spec)}},
                     m.attr("SingletonMeta")));
    m.add("GoogleChatAsyncMessenger",
          make_class(m, "GoogleChatAsyncMessenger", {}, nullptr,
                     {{"__init__", m.function(async_init_spec)},
                      {"_ensure_queue_processing", m.function(ensure_queue_processing_spec)},
                      {"_enqueue_message", m.function(enqueue_message_spec)},
                      {"_process_log_queue", m.function(process_log_queue_spec)},
                      {"send_message", m.function(async_send_message_spec)},
                      {"_send_message_async", m.function(send_message_async_spec)}},
                     m.attr("SingletonMeta")));
    m.add("setup_google_chat_messenger", m.function(setup_google_chat_messenger_spec));
    channel::install(m, messenger_kind);
}

}  // namespace toolkit
