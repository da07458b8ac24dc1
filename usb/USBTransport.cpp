#include "usb/USBTransport.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "base/Text.h"
#include "log/Log.h"
#include "threads/Lock.h"
#include "usb/USBDevice.h"

namespace {

void DefaultSleep(unsigned int ulMicroseconds) { usleep(ulMicroseconds); }

std::atomic<USBSleepFn> g_pfnSleep{DefaultSleep};

constexpr unsigned int kProbeTimeout = 1000;
constexpr int kProbeAttempts = 5;
constexpr unsigned int kRetryPause = 500000;
constexpr int kDetachAttempts = 5;
constexpr int kOpenTimeout = 5000;
constexpr int kDeviceIdAttempts = 10;
constexpr int kPrtDetachAttempts = 10;
constexpr unsigned int kPrtDetachPause = 1000000;
constexpr unsigned int kBusyPollPause = 10000;
constexpr unsigned int kControlRetryPause = 2000;
constexpr int kDeviceIdMax = 1022;

constexpr unsigned short kWordMaxLength = 0xFFFF;

unsigned short LittleEndianWord(const unsigned char* p) {
    return static_cast<unsigned short>(p[0] | (p[1] << 8));
}

// wLength is 16 bits; a larger or negative caller length must not wrap into a different size.
unsigned short ControlLength(const void* pBuffer, int nLength) {
    if (pBuffer == nullptr || nLength <= 0) return 0;
    return nLength > kWordMaxLength ? kWordMaxLength : static_cast<unsigned short>(nLength);
}

// Owners of what libusb hands out, so that every way out of enumerate and open gives it back.
struct DeviceListOwner {
    libusb_device** ppList = nullptr;
    ssize_t nCount = libusb_get_device_list(nullptr, &ppList);
    ~DeviceListOwner() {
        if (nCount >= 0) libusb_free_device_list(ppList, 1);
    }
};
struct ConfigFree {
    void operator()(libusb_config_descriptor* p) const { libusb_free_config_descriptor(p); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigFree>;
struct HandleClose {
    void operator()(libusb_device_handle* p) const { libusb_close(p); }
};
using HandlePtr = std::unique_ptr<libusb_device_handle, HandleClose>;

HandlePtr OpenHandle(libusb_device* pDevice) {
    libusb_device_handle* pHandle = nullptr;
    if (libusb_open(pDevice, &pHandle) != 0) return HandlePtr();
    return HandlePtr(pHandle);
}

// Is this one of our devices? On acceptance the active configuration descriptor is handed to the
// caller, who frees it; otherwise it is already freed.
bool AcceptDevice(libusb_device* pDevice, libusb_device_descriptor& desc,
                  libusb_config_descriptor** ppConfig, int* pnKind) {
    *ppConfig = nullptr;
    if (libusb_get_device_descriptor(pDevice, &desc) < 0) return false;
    if (desc.idVendor != static_cast<uint16_t>(KORVO_USB_VENDOR_ID) || desc.bNumConfigurations != 1)
        return false;
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) < 0 || pConfig == nullptr)
        return false;
    bool fAccept = false;
    if (pConfig->bNumInterfaces == 1 && pConfig->interface != nullptr &&
        pConfig->interface[0].num_altsetting == 1 && pConfig->interface[0].altsetting != nullptr) {
        const libusb_interface_descriptor& alt = pConfig->interface[0].altsetting[0];
        const int nEndpoints = alt.bNumEndpoints;
        if ((nEndpoints == 2 || nEndpoints == 4) && alt.endpoint != nullptr) {
            if ((desc.idProduct & 0xFF00) == 0x0E00 &&
                alt.bInterfaceClass == LIBUSB_CLASS_PRINTER) {
                *pnKind = USBKIND_PRT;
                fAccept = true;
            } else if (desc.idProduct == 0x0202) {
                *pnKind = nEndpoints == 4 ? USBKIND_JV : USBKIND_QX;
                fAccept = true;
            }
        }
    }
    if (!fAccept) {
        libusb_free_config_descriptor(pConfig);
        return false;
    }
    *ppConfig = pConfig;
    return true;
}

// Standard GET_DESCRIPTOR of the configuration: does the device answer at all?
bool AnswerProbe(libusb_device_handle* pHandle, int nAttempts) {
    unsigned char aucBuffer[256];
    for (int i = 0; i < nAttempts; ++i) {
        if (i > 0) USBSleep(kRetryPause);
        int r = libusb_control_transfer(pHandle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                        LIBUSB_DT_CONFIG << 8, 0, aucBuffer, sizeof(aucBuffer),
                                        kProbeTimeout);
        if (r > 0) return true;
    }
    return false;
}

// Reads the serial number as ASCII; the result is always terminated, whatever the device sent.
bool ReadSerial(libusb_device_handle* pHandle, uint8_t ucIndex, char (&szSerial)[257]) {
    std::memset(szSerial, 0, sizeof(szSerial));
    int r = libusb_get_string_descriptor_ascii(pHandle, ucIndex,
                                               reinterpret_cast<unsigned char*>(szSerial), 256);
    if (r < 0) return false;
    szSerial[r < 256 ? r : 256] = '\0';
    return true;
}

// At most 255 characters: a name has always been cut there, and bindings are kept by name.
std::string DeviceName(const libusb_device_descriptor& desc, const char* pszSerial) {
    char szIds[32];
    std::snprintf(szIds, sizeof(szIds), "USB#VID_0x%x##PID_0x%x", desc.idVendor, desc.idProduct);
    std::string strName = std::string(szIds) + pszSerial;
    if (strName.size() > 255) strName.resize(255);
    return base::ToUpper(strName);
}

// One of our devices, opened, that answered and gave its serial number.
struct Identified {
    libusb_device_descriptor desc;
    ConfigPtr config;
    HandlePtr handle;
    int nKind = 0;
    std::string strName;
};

enum class IdentifyFor { Enumerate, Open };
enum class Identify { NotOurs, NoAnswer, Answered };

// The steps that enumerate and open share: accept, open, probe, read the serial. Enumerate also
// asks a printer-class device for its command set; open gives the serial a second try on a fresh
// handle after a pause. NoAnswer: ours and opened, but the descriptors could not be read.
Identify IdentifyDevice(libusb_device* pDevice, IdentifyFor purpose, Identified& out) {
    libusb_config_descriptor* pAccepted = nullptr;
    if (!AcceptDevice(pDevice, out.desc, &pAccepted, &out.nKind)) return Identify::NotOurs;
    out.config.reset(pAccepted);
    out.handle = OpenHandle(pDevice);
    if (!out.handle) return Identify::NotOurs;
    if (purpose == IdentifyFor::Enumerate && out.nKind == USBKIND_PRT &&
        !IsPRTClassFn(out.handle.get()))
        return Identify::NotOurs;
    if (!AnswerProbe(out.handle.get(), kProbeAttempts)) return Identify::NoAnswer;
    char szSerial[257];
    if (!ReadSerial(out.handle.get(), out.desc.iSerialNumber, szSerial)) {
        if (purpose == IdentifyFor::Enumerate) return Identify::NoAnswer;
        out.handle.reset();
        USBSleep(kRetryPause);
        out.handle = OpenHandle(pDevice);
        if (!out.handle) return Identify::NotOurs;
        if (!AnswerProbe(out.handle.get(), 1) ||
            !ReadSerial(out.handle.get(), out.desc.iSerialNumber, szSerial))
            return Identify::NoAnswer;
    }
    out.strName = DeviceName(out.desc, szSerial);
    return Identify::Answered;
}

// The context's endpoints from the accepted interface: the first pair serves the printer, a
// second pair (four endpoints) the display.
void TakeEndpoints(_USBQX* pCtx, const libusb_interface_descriptor& alt) {
    pCtx->nInterface = alt.bInterfaceNumber;
    pCtx->ucBulkOut = 0;
    pCtx->ucBulkIn = 0;
    pCtx->ucBulkOut2 = 0xFF;
    pCtx->ucBulkIn2 = 0xFF;
    pCtx->ucDisplay = alt.bNumEndpoints == 4 ? 1 : 0;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        const bool fBulk = (ep.bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK;
        const bool fIn = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
        if (e < 2) {
            if ((fBulk && fIn) || ep.bmAttributes == LIBUSB_TRANSFER_TYPE_INTERRUPT)
                pCtx->ucBulkIn = ep.bEndpointAddress;
            else if (fBulk)
                pCtx->ucBulkOut = ep.bEndpointAddress;
        } else if (pCtx->ucDisplay && fBulk) {
            if (fIn)
                pCtx->ucBulkIn2 = ep.bEndpointAddress;
            else
                pCtx->ucBulkOut2 = ep.bEndpointAddress;
        }
    }
}

// Per-channel request numbers and endpoints of the write protocol.
struct Channel {
    int nStatusRequest;
    int nStartRequest;
    int nCountRequest;
    unsigned char _USBQX::*pucOut;
};

const Channel kPrinterChannel{USBREQ_STATUS_QX, USBREQ_WRITE_START_QX, USBREQ_COUNT_QX,
                              &_USBQX::ucBulkOut};
const Channel kDisplayChannel{USBREQ_STATUS_JV, USBREQ_WRITE_START_JV, USBREQ_COUNT_JV,
                              &_USBQX::ucBulkOut2};

// Busy poll then write start; 0 or the libusb result of the write start when the device
// became ready, -1 on a bad status reply, -7 when busy beyond the write timeout.
int WriteInit(_USBQX* pCtx, const Channel& ch) {
    const unsigned int ulBusyMask = USBDeviceCode(pCtx) == 2 ? 5 : 1;
    int nWaited = 0;
    for (;;) {
        unsigned char aucStatus[2] = {0, 0};
        if (CUSBDevice::zph_usb_ctl_rev(pCtx, ch.nStatusRequest, aucStatus, 2) != 2) return -1;
        unsigned int ulStatus = LittleEndianWord(aucStatus);
        // Forced flow control: the device takes data although it reports not ready.
        if (ulStatus & 2) ulStatus &= ~1u;
        if ((ulStatus & ulBusyMask) == 0)
            return CUSBDevice::zph_usb_ctl_send(pCtx, ch.nStartRequest, 0, 0);
        if (nWaited >= pCtx->nWriteTimeout) return LIBUSB_ERROR_TIMEOUT;
        USBSleep(kBusyPollPause);
        nWaited += 10;
    }
}

// After a failed bulk OUT: ask the device how much it took and clear the halt. The count
// (at most nChunk), or -7 when it reports nothing, or the request's negative error.
int WriteForceStop(_USBQX* pCtx, const Channel& ch, int nChunk) {
    unsigned char aucCount[2] = {0, 0};
    int r = CUSBDevice::zph_usb_ctl_rev(pCtx, ch.nCountRequest, aucCount, 2);
    libusb_clear_halt(pCtx->pHandle, pCtx->*ch.pucOut);
    if (r < 0) return r;
    // A reply shorter than the count word carries no count.
    if (r < 2) return LIBUSB_ERROR_TIMEOUT;
    int nCount = LittleEndianWord(aucCount);
    if (nCount == 0) return LIBUSB_ERROR_TIMEOUT;
    // The device cannot have taken more than the chunk; a larger claim must not move the
    // write past the data it was given.
    return nCount > nChunk ? nChunk : nCount;
}

// Bulk OUT pieces of one chunk kept in flight together, so that the wire never waits for the
// host between them: eight pieces are more than half a millisecond of wire at high speed.
constexpr int kPiecesInFlight = 8;
// Longest single wait for events; a completion ends it at once.
constexpr long kEventWaitMicroseconds = 100000;
// Beyond a piece's own time-out, how long event handling may keep failing before its pieces are
// given up (and left allocated: freeing a transfer that may still be in flight is worse).
constexpr int kEventGraceMs = 1000;

// The pieces of one chunk on their way. libusb runs the completion callback in whichever thread
// handles events on the default context, so what the callback touches is guarded.
//
// Order after a fault: separately submitted transfers of one endpoint are separate URBs, and the
// kernel goes on with the next one when one fails or is cancelled. Pieces behind a fault are
// therefore cancelled latest first, so that the device can never take a later piece after an
// earlier one stopped: the earliest stays at the head of the endpoint's queue until it is itself
// cancelled. The write time-out is kept here rather than given to libusb, which would cancel the
// timed-out piece on its own and open that window. After a failure in flight the callback itself
// cancels what is behind, before the endpoint's queue moves on.
struct PieceQueue {
    struct Piece {
        PieceQueue* pQueue = nullptr;
        libusb_transfer* pTransfer = nullptr;
        // Guarded by the queue's mu. Not annotated: the analysis cannot tell that a piece's
        // pQueue is the queue whose lock is held.
        bool fPending = false;    // submitted, callback not yet run
        unsigned long ulSeq = 0;  // submission order
        std::chrono::steady_clock::time_point deadline{};
    };
    CMutex mu;  // a leaf lock: nothing else is taken while it is held
    Piece aPieces[kPiecesInFlight];
    unsigned long ulSubmitted TS_GUARDED_BY(mu) = 0;
    bool fFault TS_GUARDED_BY(mu) = false;  // a piece came back failed or short
};

// The pending pieces submitted after ulAfter, latest first.
int PendingBehind(PieceQueue& q, unsigned long ulAfter, libusb_transfer** apOut) TS_REQUIRES(q.mu) {
    int n = 0;
    for (unsigned long ulSeq = q.ulSubmitted; ulSeq > ulAfter; --ulSeq)
        for (PieceQueue::Piece& piece : q.aPieces)
            if (piece.fPending && piece.ulSeq == ulSeq) apOut[n++] = piece.pTransfer;
    return n;
}

void CancelLatestFirst(libusb_transfer* const* apTransfers, int n) {
    for (int i = 0; i < n; ++i) libusb_cancel_transfer(apTransfers[i]);
}

void LIBUSB_CALL PieceDone(libusb_transfer* pTransfer) {
    auto* pPiece = static_cast<PieceQueue::Piece*>(pTransfer->user_data);
    PieceQueue& q = *pPiece->pQueue;
    const bool fWhole = pTransfer->status == LIBUSB_TRANSFER_COMPLETED &&
                        pTransfer->actual_length == pTransfer->length;
    libusb_transfer* apBehind[kPiecesInFlight];
    int nBehind = 0;
    {
        CMutex::CGuard lk(q.mu);
        pPiece->fPending = false;
        if (!fWhole && !q.fFault) {
            q.fFault = true;
            nBehind = PendingBehind(q, pPiece->ulSeq, apBehind);
        }
    }
    // Pieces stay pending until their own callbacks, which only this event-handling thread runs,
    // so none of them can be freed before these calls.
    CancelLatestFirst(apBehind, nBehind);
}

bool Pending(PieceQueue& q, const PieceQueue::Piece& piece) {
    CMutex::CGuard lk(q.mu);
    return piece.fPending;
}

// Cancels every piece still in flight, latest first.
void CancelAll(PieceQueue& q) {
    libusb_transfer* apPending[kPiecesInFlight];
    int n = 0;
    {
        CMutex::CGuard lk(q.mu);
        q.fFault = true;
        n = PendingBehind(q, 0, apPending);
    }
    CancelLatestFirst(apPending, n);
}

// Handles events until the piece's callback has run, cancelling everything in flight once the
// piece's deadline has passed; false when events can no longer be handled.
bool AwaitPiece(PieceQueue& q, const PieceQueue::Piece& piece) {
    const auto giveUp = piece.deadline + std::chrono::milliseconds(kEventGraceMs);
    bool fCancelled = false;
    while (Pending(q, piece)) {
        const auto now = std::chrono::steady_clock::now();
        if (!fCancelled && now >= piece.deadline) {
            CancelAll(q);
            fCancelled = true;
            continue;
        }
        const auto slice =
            fCancelled
                ? std::chrono::microseconds(kEventWaitMicroseconds)
                : std::min(
                      std::chrono::microseconds(kEventWaitMicroseconds),
                      std::chrono::duration_cast<std::chrono::microseconds>(piece.deadline - now) +
                          std::chrono::microseconds(1));
        timeval tv{0, static_cast<suseconds_t>(slice.count())};
        const int r = libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) {
            if (std::chrono::steady_clock::now() > giveUp) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

// Sends a chunk's bytes in bulk OUT pieces of at most USB_BULK_PIECE bytes, several in flight.
// Returns the bytes sent, or -1 when a piece failed or moved nothing; either way only once no
// piece is in flight any more. A piece that comes back short is resent from where it stopped
// when the pieces behind it were cancelled before they moved anything; otherwise the device's
// count is the only truth left, and the caller asks for it.
int SendPieces(_USBQX* pCtx, unsigned char ucEndpoint, unsigned char* pData, int nLength) {
    std::unique_ptr<PieceQueue> pQueue(new PieceQueue);
    for (PieceQueue::Piece& piece : pQueue->aPieces) piece.pQueue = pQueue.get();
    const auto timeout = std::chrono::milliseconds(pCtx->nWriteTimeout);
    int nSent = 0;
    int nQueued = 0;
    int nHead = 0;
    int nInFlight = 0;
    bool fFailed = false;
    while (nSent < nLength) {
        while (!fFailed && nInFlight < kPiecesInFlight && nQueued < nLength) {
            PieceQueue::Piece& piece = pQueue->aPieces[(nHead + nInFlight) % kPiecesInFlight];
            if (piece.pTransfer == nullptr) piece.pTransfer = libusb_alloc_transfer(0);
            if (piece.pTransfer == nullptr) {
                fFailed = true;
                break;
            }
            const int nPiece =
                nLength - nQueued < USB_BULK_PIECE ? nLength - nQueued : USB_BULK_PIECE;
            // No libusb time-out: the deadline is kept by AwaitPiece (see PieceQueue).
            libusb_fill_bulk_transfer(piece.pTransfer, pCtx->pHandle, ucEndpoint, pData + nQueued,
                                      nPiece, PieceDone, &piece, 0);
            piece.deadline = std::chrono::steady_clock::now() + timeout;
            {
                CMutex::CGuard lk(pQueue->mu);
                // A fault in flight stops the queue from growing.
                if (pQueue->fFault) break;
                piece.fPending = true;
                piece.ulSeq = ++pQueue->ulSubmitted;
            }
            if (libusb_submit_transfer(piece.pTransfer) != 0) {
                CMutex::CGuard lk(pQueue->mu);
                piece.fPending = false;
                fFailed = true;
                break;
            }
            ++nInFlight;
            nQueued += nPiece;
        }
        if (nInFlight == 0) {
            fFailed = fFailed || nSent < nLength;
            break;
        }
        PieceQueue::Piece& front = pQueue->aPieces[nHead];
        // Should events stop being handled, the pieces stay allocated: they may be in flight.
        if (!AwaitPiece(*pQueue, front)) {
            pQueue.release();
            return -1;
        }
        nHead = (nHead + 1) % kPiecesInFlight;
        --nInFlight;
        const libusb_transfer* pDone = front.pTransfer;
        const bool fCompleted = pDone->status == LIBUSB_TRANSFER_COMPLETED;
        if (fCompleted && pDone->actual_length == pDone->length) {
            nSent += pDone->actual_length;
            continue;
        }
        // A fault: what is queued behind it must not reach the device out of order. The callback
        // has cancelled it already, unless the piece was submitted after the callback ran.
        const bool fShort = fCompleted && pDone->actual_length > 0;
        if (fShort)
            nSent += pDone->actual_length < pDone->length ? pDone->actual_length : pDone->length;
        CancelAll(*pQueue);
        bool fMovedBehind = false;
        for (int i = 0; i < nInFlight; ++i) {
            const PieceQueue::Piece& piece = pQueue->aPieces[(nHead + i) % kPiecesInFlight];
            if (!AwaitPiece(*pQueue, piece)) {
                pQueue.release();
                return -1;
            }
            if (piece.pTransfer->actual_length > 0) fMovedBehind = true;
        }
        nInFlight = 0;
        if (!fShort || fMovedBehind) {
            fFailed = true;
            break;
        }
        nQueued = nSent;
        CMutex::CGuard lk(pQueue->mu);
        pQueue->fFault = false;
    }
    for (PieceQueue::Piece& piece : pQueue->aPieces) libusb_free_transfer(piece.pTransfer);
    return fFailed ? -1 : nSent;
}

// One protocol chunk of at most 65535 bytes: bytes the device took, or a negative libusb error.
int Write65535(_USBQX* pCtx, const Channel& ch, unsigned char* pData, int nLength) {
    int r = WriteInit(pCtx, ch);
    if (r < 0) return r;
    const int nSent = SendPieces(pCtx, pCtx->*ch.pucOut, pData, nLength);
    if (nSent < 0) return WriteForceStop(pCtx, ch, nLength);
    if (pCtx->ucCountReport) {
        unsigned char aucCount[2] = {0, 0};
        r = CUSBDevice::zph_usb_ctl_rev(pCtx, ch.nCountRequest, aucCount, 2);
        if (r == 2 && nSent > 0) {
            int nCount = LittleEndianWord(aucCount);
            return nCount > nLength ? nLength : nCount;
        }
    }
    return nSent;
}

int BulkWrite(_USBQX* pCtx, const Channel& ch, unsigned char* pData, int nLength) {
    if (pCtx == nullptr || pCtx->pHandle == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    if (nLength < 0 || (pData == nullptr && nLength > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    int nTotal = 0;
    do {
        const int nChunk =
            nLength - nTotal < USB_PROTOCOL_CHUNK ? nLength - nTotal : USB_PROTOCOL_CHUNK;
        int r = Write65535(pCtx, ch, pData + nTotal, nChunk);
        if (r == LIBUSB_ERROR_TIMEOUT) return nTotal;
        if (r < 0) return r;
        nTotal += r;
        // A device that takes nothing of a non-empty chunk would keep this loop going forever;
        // the caller's progress deadline decides whether to try again.
        if (r == 0 && nChunk > 0) return nTotal;
    } while (nTotal < nLength);
    return nTotal;
}

}  // namespace

void USBSetSleepHook(USBSleepFn pfnSleep) {
    g_pfnSleep.store(pfnSleep != nullptr ? pfnSleep : DefaultSleep);
}

void USBSleep(unsigned int ulMicroseconds) { g_pfnSleep.load()(ulMicroseconds); }

bool IsPRTClassFn(libusb_device_handle* pHandle) {
    if (pHandle == nullptr) return false;
    int nActive = libusb_kernel_driver_active(pHandle, 0);
    if (nActive == 1) {
        bool fDetached = false;
        for (int i = 0; i < kPrtDetachAttempts && !fDetached; ++i) {
            if (i > 0) USBSleep(kPrtDetachPause);
            fDetached = libusb_detach_kernel_driver(pHandle, 0) == 0;
        }
        if (!fDetached) return false;
    } else if (nActive != 0) {
        return false;
    }

    // A printer's device-ID request is answered without the claim (usbfs lets it through), so a
    // device whose interface is held, by an open port of ours or by another program, is asked
    // anyway: refused at the claim it would count as unplugged, and its port could be given away.
    const bool fClaimed = libusb_claim_interface(pHandle, 0) == 0;
    bool fResult = false;
    // One byte beyond the largest request so that the text can always be terminated.
    unsigned char aucId[1025];
    int nGot = 0;
    for (int i = 0; i < kDeviceIdAttempts; ++i) {
        if (i > 0) USBSleep(kRetryPause);
        std::memset(aucId, 0, sizeof(aucId));
        int r = libusb_control_transfer(
            pHandle, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE, 0,
            0, 0, aucId, 1024, kProbeTimeout);
        if (r > 0) {
            nGot = r > 1024 ? 1024 : r;
            break;
        }
    }
    if (fClaimed) libusb_release_interface(pHandle, 0);
    if (nGot > 0) {
        int nLength = (aucId[0] << 8) | aucId[1];
        if (nLength > kDeviceIdMax) nLength = (aucId[1] << 8) | aucId[0];
        if (nLength > kDeviceIdMax) nLength = kDeviceIdMax;
        // Only what the device actually sent counts as text.
        const int nReceived = nGot > 2 ? nGot - 2 : 0;
        if (nLength > nReceived) nLength = nReceived;
        aucId[2 + nLength] = '\0';
        const char* pszText = reinterpret_cast<const char*>(aucId + 2);
        const char* pszSet = std::strstr(pszText, "CMD:");
        if (pszSet != nullptr) {
            pszSet += 4;
        } else {
            pszSet = std::strstr(pszText, "COMMAND SET:");
            if (pszSet != nullptr) pszSet += 12;
        }
        if (pszSet != nullptr) {
            std::string strSet(pszSet);
            std::string::size_type nEnd = strSet.find(';');
            if (nEnd != std::string::npos) strSet.resize(nEnd);
            fResult = strSet.find("QORA/CS") != std::string::npos;
        }
    }
    libusb_attach_kernel_driver(pHandle, 0);
    return fResult;
}

bool CUSBDevice::zph_usb_lib_init() {
    if (libusb_init(nullptr) < 0) {
        LogMsg(LOGLEVEL_NOTICE,
               "-- CUSBDevice::zph_usb_lib_init() <FALSE> : Failed to initialize libusb");
        return false;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    libusb_set_debug(nullptr, 0);
#pragma GCC diagnostic pop
    return true;
}

void CUSBDevice::zph_usb_lib_exit() { libusb_exit(nullptr); }

void CUSBDevice::zph_usb_enum(std::map<std::string, int>& mapDevices) {
    DeviceListOwner list;
    for (ssize_t i = 0; i < list.nCount; ++i) {
        Identified id;
        if (IdentifyDevice(list.ppList[i], IdentifyFor::Enumerate, id) == Identify::Answered)
            mapDevices.insert(std::make_pair(id.strName, id.nKind));
    }
}

unsigned int CUSBDevice::zph_usb_open(std::string strName, _USBQX* pCtx) {
    if (pCtx == nullptr) return USBR_DEVICE_NOT_AVAILABLE;
    pCtx->ucBulkOut2 = 0xFF;
    pCtx->ucBulkIn2 = 0xFF;
    pCtx->ucDisplay = 0;
    DeviceListOwner list;
    if (list.nCount <= 0) return USBR_DEVICE_NOT_AVAILABLE;

    bool fDescriptorFailure = false;
    for (ssize_t i = 0; i < list.nCount; ++i) {
        Identified id;
        const Identify found = IdentifyDevice(list.ppList[i], IdentifyFor::Open, id);
        if (found == Identify::NoAnswer) fDescriptorFailure = true;
        if (found != Identify::Answered || id.strName != strName) continue;
        TakeEndpoints(pCtx, id.config->interface[0].altsetting[0]);
        pCtx->nWriteTimeout = kOpenTimeout;
        pCtx->nReadTimeout = kOpenTimeout;

        int nActive = libusb_kernel_driver_active(id.handle.get(), 0);
        bool fDetached = nActive == 0;
        if (nActive == 1) {
            for (int a = 0; a < kDetachAttempts && !fDetached; ++a) {
                if (a > 0) USBSleep(kRetryPause);
                fDetached = libusb_detach_kernel_driver(id.handle.get(), 0) == 0;
            }
        }
        if (!fDetached) {
            LogMsg(
                LOGLEVEL_TRACE,
                "-- CUSBDevice::zph_usb_open(%s) <PHR_UNEXPECTED_SYSTEM_ERROR> : Unable to detach "
                "kernel driver.",
                id.strName.c_str());
            return USBR_UNEXPECTED_SYSTEM_ERROR;
        }
        if (libusb_claim_interface(id.handle.get(), 0) != 0) {
            libusb_attach_kernel_driver(id.handle.get(), 0);
            LogMsg(
                LOGLEVEL_TRACE,
                "-- CUSBDevice::zph_usb_open(%s) <PHR_UNEXPECTED_SYSTEM_ERROR> : Unable to claim "
                "interface.",
                id.strName.c_str());
            return USBR_UNEXPECTED_SYSTEM_ERROR;
        }

        pCtx->pHandle = id.handle.release();
        pCtx->strName = id.strName;
        pCtx->ucCountReport = 0;
        pCtx->usCapability = 0;
        unsigned char aucCapability[2] = {0, 0};
        if (zph_usb_ctl_rev(pCtx, USBREQ_CAPABILITY, aucCapability, 2) == 2) {
            pCtx->usCapability = LittleEndianWord(aucCapability);
            const unsigned int ulCode = pCtx->usCapability & 0x7C;
            if (ulCode == 0x04 || ulCode == 0x24) {
                libusb_clear_halt(pCtx->pHandle, pCtx->ucDisplay ? pCtx->ucBulkOut2 : 0x01);
                pCtx->ucCountReport = 1;
            }
        }
        return USBR_SUCCESS;
    }

    pCtx->pHandle = nullptr;
    if (fDescriptorFailure) {
        LogMsg(LOGLEVEL_TRACE,
               "-- CUSBDevice::zph_usb_open() <PHR_UNEXPECTED_SYSTEM_ERROR> : "
               "libusb_get_string_descriptor_ascii Function Failed.");
        return USBR_UNEXPECTED_SYSTEM_ERROR;
    }
    return USBR_DEVICE_NOT_AVAILABLE;
}

int CUSBDevice::zph_usb_close(_USBQX* pCtx) {
    if (pCtx == nullptr || pCtx->pHandle == nullptr) return 0;
    libusb_clear_halt(pCtx->pHandle, pCtx->ucBulkOut);
    libusb_clear_halt(pCtx->pHandle, pCtx->ucBulkIn);
    if (pCtx->ucDisplay) {
        libusb_clear_halt(pCtx->pHandle, pCtx->ucBulkOut2);
        libusb_clear_halt(pCtx->pHandle, pCtx->ucBulkIn2);
    }
    libusb_release_interface(pCtx->pHandle, 0);
    libusb_attach_kernel_driver(pCtx->pHandle, 0);
    libusb_close(pCtx->pHandle);
    return 1;
}

int CUSBDevice::zph_usb_ctl_send(_USBQX* pCtx, int nRequest, unsigned short usValue,
                                 int /*nLength*/) {
    if (pCtx == nullptr || pCtx->pHandle == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    // There is no data buffer, so there can be no data stage: wLength is always 0.
    return libusb_control_transfer(
        pCtx->pHandle,
        LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_INTERFACE,
        static_cast<uint8_t>(nRequest & 0xFF), usValue,
        static_cast<uint16_t>(pCtx->nInterface & 0xFFFF), nullptr, 0,
        static_cast<unsigned int>(pCtx->nWriteTimeout));
}

int CUSBDevice::zph_usb_ctl_rev(_USBQX* pCtx, int nRequest, void* pBuffer, int nLength) {
    if (pCtx == nullptr || pCtx->pHandle == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    const unsigned short usLength = ControlLength(pBuffer, nLength);
    unsigned char* pData = usLength != 0 ? static_cast<unsigned char*>(pBuffer) : nullptr;
    int r = 0;
    for (int i = 0; i < 2; ++i) {
        r = libusb_control_transfer(
            pCtx->pHandle,
            LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_INTERFACE,
            static_cast<uint8_t>(nRequest & 0xFF), 0,
            static_cast<uint16_t>(pCtx->nInterface & 0xFFFF), pData, usLength,
            static_cast<unsigned int>(pCtx->nReadTimeout));
        if (r > 0) return r;
        USBSleep(kControlRetryPause);
    }
    return r;
}

int CUSBDevice::zph_usb_ctl_rev_prtclass(_USBQX* pCtx, int nRequest, void* pBuffer, int nLength) {
    if (pCtx == nullptr || pCtx->pHandle == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    const unsigned short usLength = ControlLength(pBuffer, nLength);
    // GET_DEVICE_ID (0) addresses the interface in the high byte of wIndex (alternate
    // setting in the low byte); the other printer-class requests take the plain number.
    const uint16_t usIndex = (nRequest & 0xFF) == 0
                                 ? static_cast<uint16_t>((pCtx->nInterface & 0xFF) << 8)
                                 : static_cast<uint16_t>(pCtx->nInterface & 0xFFFF);
    return libusb_control_transfer(
        pCtx->pHandle, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE,
        static_cast<uint8_t>(nRequest & 0xFF), 0, usIndex,
        usLength != 0 ? static_cast<unsigned char*>(pBuffer) : nullptr, usLength,
        static_cast<unsigned int>(pCtx->nReadTimeout));
}

int CUSBDevice::zph_bulk_write_qx(_USBQX* pCtx, unsigned char* pData, int nLength) {
    return BulkWrite(pCtx, kPrinterChannel, pData, nLength);
}

int CUSBDevice::zph_bulk_write_jv(_USBQX* pCtx, unsigned char* pData, int nLength) {
    return BulkWrite(pCtx, kDisplayChannel, pData, nLength);
}

int CUSBDevice::zph_bulk_read(_USBQX* pCtx, unsigned char* pBuffer, int nLength) {
    if (pCtx == nullptr || pCtx->pHandle == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    if (pBuffer == nullptr || nLength <= 0) return 0;
    const bool fEndOnFirstEmpty = USBDeviceCode(pCtx) == 0;
    int nTotal = 0;
    int nEmpty = 0;
    while (nTotal < nLength) {
        int nGot = 0;
        int r =
            libusb_bulk_transfer(pCtx->pHandle, pCtx->ucBulkIn, pBuffer + nTotal, nLength - nTotal,
                                 &nGot, static_cast<unsigned int>(pCtx->nReadTimeout));
        if (r < 0) {
            int c = libusb_clear_halt(pCtx->pHandle, pCtx->ucBulkIn);
            return c < 0 ? c : nTotal;
        }
        if (nGot > 0) {
            nTotal += nGot < nLength - nTotal ? nGot : nLength - nTotal;
            nEmpty = 0;
        } else if (fEndOnFirstEmpty || ++nEmpty >= 3) {
            break;
        }
    }
    return nTotal;
}
