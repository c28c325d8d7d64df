#include "Callers.h"

#include <tavrin/net/Lan.h>

namespace tavrin::tool {

CallerDesk::CallerDesk(Host& host, std::vector<AccessRule> allow, bool refuseTelnet,
                       std::function<void(const std::string&)> notice, Hooks hooks)
    : m_host(host), m_allow(std::move(allow)), m_refuseTelnet(refuseTelnet), m_notice(std::move(notice)),
      m_hooks(std::move(hooks))
{
}

CallerDesk::~CallerDesk()
{
    CloseAll();
}

void CallerDesk::TakeCall(CDevice& listener)
{
    // A call that comes in while the listener is being disconnected is left
    // pending: the listener's disconnect ends it.
    if (m_stopped)
        return;
    const int id = m_nextId++;
    const std::string name = "caller " + std::to_string(id);
    auto lan = std::make_shared<CLan>();
    if (m_refuseTelnet)
        lan->SetRefuseTelnetOptions(TRUE);
    if (m_hooks.transparent)
        lan->SetTransparent(TRUE);
    const int number = m_host.Attach(*lan, name.c_str());
    // An owner that takes no data (a bridge, whose link carries it) spares
    // every block its round trip to the host's thread.
    if (!m_hooks.data)
        lan->SetMessage(DEVMSG_DATA, 0);
    if (number < 0) {
        // Left pending, the call would hold the listener up: take it
        // without a window and let it go at once.
        if (lan->Connect(listener))
            lan->Disconnect();
        m_notice(name + " turned away: too many callers at once");
        return;
    }
    Caller& caller = m_callers[number];
    caller.id = id;
    caller.number = number;
    caller.device = lan;
    if (!lan->Connect(listener)) {
        m_notice(name + ": the call could not be taken");
        m_callers.erase(number);
        m_host.Detach(number);
        return;
    }
    // Without rules everyone is admitted; the text is printed all the same,
    // so that every caller shows up.
    CString text;
    bool granted = m_allow.empty();
    if (granted) {
        lan->IsAccessGranted(0, 0, text);
    } else {
        for (const AccessRule& rule : m_allow) {
            if (lan->IsAccessGranted(rule.address, rule.mask, text)) {
                granted = true;
                break;
            }
        }
    }
    Decide(caller, text.str(), granted);
}

void CallerDesk::Decide(Caller& caller, const std::string& accessText, bool granted)
{
    const std::string name = "caller " + std::to_string(caller.id);
    std::string reason = granted ? std::string() : std::string("not allowed by --allow");
    if (granted && m_hooks.vacancy)
        reason = m_hooks.vacancy(caller);
    if (!reason.empty()) {
        m_notice(name + ": " + accessText);
        m_notice(name + " turned away: " + reason);
        Retire(caller.number);
        return;
    }
    // Admitted before the text is out: whoever reads the text may count on
    // the caller being served.
    caller.admitted = true;
    RefreshAdmitted();
    m_notice(name + ": " + accessText);
    if (m_hooks.admitted)
        m_hooks.admitted(caller);
    if (!caller.early.empty() && m_hooks.data) {
        const std::string early = std::move(caller.early);
        m_hooks.data(caller, reinterpret_cast<const BYTE*>(early.data()), early.size());
    }
}

bool CallerDesk::Handle(int number, int index, WPARAM wParam, LPARAM lParam)
{
    auto found = m_callers.find(number);
    if (found == m_callers.end())
        return false;
    Caller& caller = found->second;
    const std::string name = "caller " + std::to_string(caller.id);
    switch (index) {
    case DEVMSG_DATA:
        if (caller.retiring)
            break;
        if (!caller.admitted)
            caller.early.append(reinterpret_cast<const char*>(lParam), wParam);
        else if (m_hooks.data)
            m_hooks.data(caller, reinterpret_cast<const BYTE*>(lParam), wParam);
        break;
    case DEVMSG_ERROR:
        if (!caller.retiring)
            m_notice(name + ": " + reinterpret_cast<const CString*>(lParam)->str());
        break;
    case DEVMSG_DISCONNECTED:
        if (caller.retiring)
            break;
        if (caller.admitted) {
            m_notice(name + " left");
            if (m_hooks.left)
                m_hooks.left(caller);
            if (m_hooks.holdAdmitted)
                break;
        }
        Retire(number);
        break;
    default:
        break;
    }
    return true;
}

void CallerDesk::Retire(int number)
{
    auto found = m_callers.find(number);
    if (found == m_callers.end() || found->second.retiring)
        return;
    found->second.retiring = true;
    RefreshAdmitted();
    std::weak_ptr<int> alive = m_alive;
    m_host.Post([this, alive, number] {
        if (alive.lock())
            FinishRetiring(number);
    });
}

void CallerDesk::FinishRetiring(int number)
{
    auto found = m_callers.find(number);
    if (found == m_callers.end())
        return;
    std::shared_ptr<CDevice> device = found->second.device;
    // Its own DEVMSG_DISCONNECTED may come in during the disconnect; the
    // caller is marked as retiring, so that changes nothing. The disconnect
    // also waits for a block a former partner is forwarding to it, so the
    // object can go with its entry.
    device->Disconnect();
    m_callers.erase(number);
    m_host.Detach(number);
}

void CallerDesk::CloseAll()
{
    m_stopped = true;
    // Several passes: a disconnect serves sent messages, and a notification
    // served there may retire a caller.
    while (!m_callers.empty()) {
        auto first = m_callers.begin();
        first->second.retiring = true;
        RefreshAdmitted();
        FinishRetiring(first->first);
    }
}

std::vector<std::shared_ptr<CDevice>> CallerDesk::Admitted() const
{
    std::lock_guard<std::mutex> guard(m_admittedLock);
    return m_admitted;
}

void CallerDesk::RefreshAdmitted()
{
    std::vector<std::shared_ptr<CDevice>> admitted;
    for (const auto& [number, caller] : m_callers) {
        if (caller.admitted && !caller.retiring)
            admitted.push_back(caller.device);
    }
    std::lock_guard<std::mutex> guard(m_admittedLock);
    m_admitted = std::move(admitted);
}

}  // namespace tavrin::tool
