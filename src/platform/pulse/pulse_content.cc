#include "platform/pulse/pulse_content.h"

#include <pulse/introspect.h>

namespace sorvanel {

std::optional<std::string> applicationIdentifier(const pa_proplist* properties) {
    // PipeWire's pulse server names a sandboxed client by the portal's app id; Flatpak's own
    // property is the fallback for servers that pass it on.
    for (const char* key :
         {PA_PROP_APPLICATION_ID, "pipewire.access.portal.app_id", "application.flatpak.id"}) {
        const char* value = pa_proplist_gets(properties, key);
        if (value && *value) return std::string(value);
    }
    return std::nullopt;
}

namespace {

struct Query {
    std::shared_ptr<PulseConnection> connection;
    Completion<std::shared_ptr<ShareableContent>> completion;
    std::shared_ptr<PulseShareableContent> content = std::make_shared<PulseShareableContent>();
    int pendingLists = 2;

    void listEnded() {
        if (--pendingLists == 0) end();
    }
    void fail(const std::string& what) {
        completion.fail(pulseError(what, pa_context_errno(connection->context())));
        listEnded();
    }
    // Hands the content over unless an error came first. The connection's loss listener owns the
    // query, so nothing may touch it after that listener is removed.
    void end() {
        completion.succeed(std::shared_ptr<ShareableContent>(content));
        // Removing the listener ends this query; the connection must outlive that call.
        const auto keep = connection;
        keep->removeLossListener(this);
    }
};

void onClient(pa_context* context, const pa_client_info* info, int eol, void* opaque) {
    auto* query = static_cast<Query*>(opaque);
    if (eol < 0) return query->fail("Cannot list the sound server's clients");
    if (eol > 0) return query->listEnded();
    if (info->index == pa_context_get_index(context)) return;
    query->content->applications_.push_back(
        std::make_shared<PulseApplication>(info->index, applicationIdentifier(info->proplist)));
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* opaque) {
    auto* query = static_cast<Query*>(opaque);
    if (eol < 0) return query->fail("Cannot list the sound server's playback devices");
    if (eol > 0) return query->listEnded();
    query->content->displays_.push_back(std::make_shared<PulseDisplay>(info->index, info->name));
}

}  // namespace

void queryShareableContent(std::shared_ptr<PulseConnection> connection,
                           Completion<std::shared_ptr<ShareableContent>> completion) {
    PulseConnection& server = *connection;
    // The callback keeps the connection until the server has answered.
    server.connect([connection, completion](std::optional<Error> error) {
        if (error) return completion.fail(*error);
        auto owned = std::make_shared<Query>(Query{connection, completion});
        Query* query = owned.get();
        // A server that vanishes mid-query answers no list; the loss listener completes instead.
        connection->setLossListener(query, [owned, query](const Error& lost) {
            query->completion.fail(lost);
            query->connection->removeLossListener(query);
        });
        pa_context* context = connection->context();
        for (pa_operation* operation : {pa_context_get_client_info_list(context, onClient, query),
                                        pa_context_get_sink_info_list(context, onSink, query)}) {
            if (operation)
                pa_operation_unref(operation);
            else
                query->fail(
                    "Cannot ask the sound server");  // may end the query: it is the last use
        }
    });
}

}  // namespace sorvanel
