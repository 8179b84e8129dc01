// What a request gets, whichever way it came in.
#include "worker.hpp"

namespace oramet {
namespace {

void count_offence(Worker *w, const Client &client) {
    if (client.conn != nullptr)
        record_offence(client.conn);
    else if (client.peer != nullptr && w->settings->config.abuse_limit != 0)
        count_address_offence(*w->shared, *client.peer);
}

}  // namespace

Answer answer_for(Worker *w, std::string_view method, std::string_view target, const Client &client) {
    const Settings &st = *w->settings;
    Answer a;
    switch (route_request(method, target)) {
    case Route::Banner:
        a.kind = AnswerKind::Banner;
        a.reply = Reply{200, "OK", st.banner, false};
        return a;
    case Route::NotFound:
        count_offence(w, client);
        a.kind = AnswerKind::NotFound;
        a.reply = Reply{404, "Not Found", "not found", false};
        return a;
    case Route::Time:
        break;
    }
    TimeQuery tq = classify_time_query(target.substr(target.find('?') + 1), st.minimum);
    // Counted first: the offence that passes the limit is itself answered "^".
    if (tq.malformed) count_offence(w, client);
    const AddrKey *peer = client.conn != nullptr ? &client.conn->peer : client.peer;
    if (st.config.maintenance || (st.config.require_synced_clock && w->shared->clock.unsynced())) {
        a.kind = st.config.maintenance ? AnswerKind::Maintenance : AnswerKind::Unsynced;
        a.reply = Reply{200, "OK", "~", true};
    } else if (peer != nullptr && st.config.abuse_limit != 0 && address_blocked(*w->shared, *peer)) {
        a.kind = AnswerKind::Blocked;
        a.reply = Reply{200, "OK", "^", true};
    } else if (tq.needs_upgrade) {
        a.kind = AnswerKind::Upgrade;
        a.storage = "#" + st.config.download_path;
        a.reply = Reply{200, "OK", a.storage, true};
    } else {
        a.time = true;
    }
    return a;
}

}  // namespace oramet
