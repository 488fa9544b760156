// The Windows half of CSocketCommCls: a non-blocking Winsock TCP socket.
//
// The VAN pump's long wait for server data is an event wait, not a select:
// besides the socket's network event it watches the link's wake event and the
// stop signal, so another thread can end it at once. (A select can only
// be ended by closing the socket under it, which risks the number being
// reused by a new socket while the waiter still holds it.)
#include "relay/van_link.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "relay/wake_signal.h"

namespace brinvale {

// A socket is pointer-sized (64 bits in the 64-bit program): kept as a SOCKET, never an int.
static_assert(sizeof(SOCKET) == sizeof(void*));

struct CSocketCommCls::Link {
    SOCKET sock = INVALID_SOCKET;
    WSAEVENT netEvent = WSA_INVALID_EVENT;
    HANDLE wakeEvent = nullptr;
    bool wsaStarted = false;
};

CSocketCommCls::CSocketCommCls(const WakeSignal& stop)
    : m_link(std::make_unique<Link>()), m_stop(stop)
{
    m_link->wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CSocketCommCls::~CSocketCommCls()
{
    CloseSocket();
    if (m_link->netEvent != WSA_INVALID_EVENT)
        WSACloseEvent(m_link->netEvent);
    if (m_link->wakeEvent)
        CloseHandle(m_link->wakeEvent);
    if (m_link->wsaStarted)
        WSACleanup();
}

int CSocketCommCls::Connect(const char* ip, int port)
{
    CloseSocket();
    if (!m_link->wsaStarted) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return kSocketNoSocket;
        m_link->wsaStarted = true;
    }

    SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET)
        return kSocketNoSocket;
    m_link->sock = sock;

    u_long nonBlocking = 1;
    if (ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) {
        CloseSocket();
        return kSocketNotReady;
    }

    // The terminal sends a dotted address; a name is never looked up (it
    // gives INADDR_NONE and the attempt runs into the time-out).
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(ip ? ip : "");
    address.sin_port = htons(static_cast<u_short>(port));
    connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address);

    // The link counts as up only once the server has been heard from: it
    // greets (or closes) within 2 s.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval wait{kConnectWaitMs / 1000, (kConnectWaitMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
        CloseSocket();
        return kSocketNotReady;
    }
    // Windows never reports a refused connection as readable, but Wine and
    // Linux do (at once, with nothing to read); the pending error tells the
    // two apart.
    int error = 0;
    int size = sizeof error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0) {
        CloseSocket();
        return kSocketNotReady;
    }

    if (m_link->netEvent == WSA_INVALID_EVENT)
        m_link->netEvent = WSACreateEvent();
    if (m_link->netEvent == WSA_INVALID_EVENT
        || WSAEventSelect(sock, m_link->netEvent, FD_READ | FD_CLOSE) != 0) {
        CloseSocket();
        return kSocketNotReady;
    }

    // Callers look only at the sign; a socket number never needs to be read
    // back from this result.
    if (sock > 0 && sock <= static_cast<SOCKET>(INT_MAX))
        return static_cast<int>(sock);
    return 1;
}

int CSocketCommCls::Receive(std::uint8_t* dest)
{
    if (!HasSocket() || !dest)
        return kSocketWaitFailed;
    HANDLE stop = static_cast<HANDLE>(m_stop.Handle());

    for (;;) {
        // A wake that came before this call still counts: the link was
        // dropped and nothing more may be taken from it.
        if ((m_link->wakeEvent && WaitForSingleObject(m_link->wakeEvent, 0) == WAIT_OBJECT_0)
            || m_stop.IsRaised()) {
            return kSocketWaitFailed;
        }

        char buffer[kVanBufferSize];
        int n = recv(m_link->sock, buffer, kVanBufferSize, 0);
        if (n > 0) {
            std::memcpy(dest, buffer, static_cast<std::size_t>(n));
            return n;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return kSocketClosed;

        WSAEVENT events[3];
        DWORD count = 0;
        events[count++] = m_link->netEvent;
        if (m_link->wakeEvent)
            events[count++] = m_link->wakeEvent;
        if (stop)
            events[count++] = stop;
        DWORD which = WSAWaitForMultipleEvents(count, events, FALSE, WSA_INFINITE, FALSE);
        if (which != WSA_WAIT_EVENT_0)
            return kSocketWaitFailed;
        // Resets the network event; FD_READ is announced again after the
        // next recv if data is still waiting.
        WSANETWORKEVENTS happened;
        WSAEnumNetworkEvents(m_link->sock, m_link->netEvent, &happened);
    }
}

int CSocketCommCls::Send(const std::uint8_t* data, int length)
{
    if (!HasSocket())
        return kSocketNoSocket;
    // One send on a non-blocking socket: a full send buffer is a failed link
    // as far as the terminal is concerned, never a reason to wait.
    int sent = send(m_link->sock, reinterpret_cast<const char*>(data), length, 0);
    if (sent < length)
        return kSocketSendFailed;
    return sent;
}

void CSocketCommCls::Wake()
{
    if (m_link->wakeEvent)
        SetEvent(m_link->wakeEvent);
}

bool CSocketCommCls::HasSocket() const
{
    return m_link->sock != INVALID_SOCKET;
}

void CSocketCommCls::CloseSocket()
{
    if (m_link->sock == INVALID_SOCKET)
        return;
    closesocket(m_link->sock);
    m_link->sock = INVALID_SOCKET;
}

}  // namespace brinvale
