// Result codes of the serial engine and the exceptions they become.
//
// Inside the engine a failure is a negative 32-bit result code: either a negated
// operating-system error number or one of the engine's own codes (-1002 bad argument,
// -2001 no such port, -3007 fewer bytes waiting than asked, ...). Only the component turns
// codes into exceptions, through CheckResult. Every exception of the engine derives from
// Exception, itself a std::exception whose what() is the UTF-8 message.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The root of every exception the serial engine raises: a message and nothing else.
class Exception : public std::exception {
  public:
    explicit Exception(std::string Message);

    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

  private:
    std::string FMessage;
};

// A failed allocation (result code -8).
class EOutOfMemory : public Exception {
  public:
    EOutOfMemory();
};

// The operating-system error number of a permission problem on open (the platform's
// ERROR_PRIVILEGE_NOT_HELD): the user may not open the device.
inline constexpr int32_t PermissionErrorNumber = 1314;

// An input/output failure that carries an operating-system error number (result codes -2
// to -162 other than -8, and -PermissionErrorNumber).
class EInOutError : public Exception {
  public:
    EInOutError(std::string Message, int32_t ErrorCode);

    int32_t ErrorCode() const noexcept { return FErrorCode; }

  private:
    int32_t FErrorCode;
};

// The root of the engine's own exception tree. Nine group classes derive from it and every
// leaf class from one group; none adds anything to it.
class ECommException : public Exception {
  public:
    // ResultCode() is Code itself (negative); the message is ErrorMessage(|Code|). May
    // throw ETpsStringResourceError instead when the error string table cannot be read.
    explicit ECommException(int32_t Code);
    // ResultCode() is 0 and the message is Text.
    explicit ECommException(std::string Text);

    // The negative code that caused the exception, or 0 when it was built from a text.
    int32_t ResultCode() const noexcept { return FResultCode; }

  private:
    int32_t FResultCode;
};

// The message text for a positive error number (the magnitude of a code), at most 255
// bytes of UTF-8 and never cut inside a character: the entry of the error string table
// (resource "K419_ERROR_STRINGS_ENGLISH") when it has a non-empty one, else the operating
// system's text for the number with every control character turned into a space and runs
// of spaces reduced to one, else a short text naming the number. A negative number is
// taken by its magnitude. Throws ETpsStringResourceError when the table cannot be read.
std::string ErrorMessage(int32_t Number);

// Returns Code unchanged when it is 0 or positive, or when Loading is true (the component
// is still being built from its stored form description, where failures are not raised).
// Otherwise throws, and never returns:
//   -8                          EOutOfMemory
//   -162 .. -2 (other), -1314   EInOutError with ErrorMessage(-Code) and ErrorCode() -Code
//                               (1314: the user may not open the device; the platform's text)
//   a code with its own class   that class built from Code (ResultCode() == Code)
//   any other code              ECommException("Serial port exception") (ResultCode() == 0)
int32_t CheckResult(bool Loading, int32_t Code);
// Guards against swapped arguments, which would otherwise convert silently.
int32_t CheckResult(int32_t Code, bool Loading) = delete;

// The exception tree. A leaf's code is given in CheckResult's mapping (CommErrors.cpp); a
// class may serve several codes (EInternal: -1006, -7003, -7006, -7012; EProtocol: -6006,
// -6008, -6009).
#define K419_DECLARE_EXCEPTION(Name, Parent) \
    class Name : public Parent {             \
      public:                                \
        using Parent::Parent;                \
    };

K419_DECLARE_EXCEPTION(EGeneral, ECommException)
K419_DECLARE_EXCEPTION(EOpenComm, ECommException)
K419_DECLARE_EXCEPTION(ESerialIO, ECommException)
K419_DECLARE_EXCEPTION(EModem, ECommException)
K419_DECLARE_EXCEPTION(ETrigger, ECommException)
K419_DECLARE_EXCEPTION(EProtocol, ECommException)
K419_DECLARE_EXCEPTION(EINI, ECommException)
K419_DECLARE_EXCEPTION(EFax, ECommException)
K419_DECLARE_EXCEPTION(ETapi, ECommException)

K419_DECLARE_EXCEPTION(EBadArgument, EGeneral)
K419_DECLARE_EXCEPTION(EGotQuitMsg, EGeneral)
K419_DECLARE_EXCEPTION(EBufferTooBig, EGeneral)
K419_DECLARE_EXCEPTION(EPortNotAssigned, EGeneral)
K419_DECLARE_EXCEPTION(EInternal, EGeneral)
K419_DECLARE_EXCEPTION(EModemNotAssigned, EGeneral)
K419_DECLARE_EXCEPTION(EPhonebookNotAssigned, EGeneral)
K419_DECLARE_EXCEPTION(ECannotUseWithWinSock, EGeneral)

K419_DECLARE_EXCEPTION(EBadId, EOpenComm)
K419_DECLARE_EXCEPTION(EBaudRate, EOpenComm)
K419_DECLARE_EXCEPTION(EByteSize, EOpenComm)
K419_DECLARE_EXCEPTION(EDefault, EOpenComm)
K419_DECLARE_EXCEPTION(EHardware, EOpenComm)
K419_DECLARE_EXCEPTION(EMemory, EOpenComm)
K419_DECLARE_EXCEPTION(ECommNotOpen, EOpenComm)
K419_DECLARE_EXCEPTION(EAlreadyOpen, EOpenComm)
K419_DECLARE_EXCEPTION(ENoHandles, EOpenComm)
K419_DECLARE_EXCEPTION(ENoTimers, EOpenComm)
K419_DECLARE_EXCEPTION(ENoPortSelected, EOpenComm)
K419_DECLARE_EXCEPTION(ENotOpenedByTapi, EOpenComm)

K419_DECLARE_EXCEPTION(ENullApi, ESerialIO)
K419_DECLARE_EXCEPTION(ERegisterHandlerFailed, ESerialIO)
K419_DECLARE_EXCEPTION(EPutBlockFail, ESerialIO)
K419_DECLARE_EXCEPTION(EGetBlockFail, ESerialIO)
K419_DECLARE_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
K419_DECLARE_EXCEPTION(EBufferIsEmpty, ESerialIO)
K419_DECLARE_EXCEPTION(ETracingNotEnabled, ESerialIO)
K419_DECLARE_EXCEPTION(ELoggingNotEnabled, ESerialIO)
K419_DECLARE_EXCEPTION(EBaseAddressNotSet, ESerialIO)

K419_DECLARE_EXCEPTION(EModemNotStarted, EModem)
K419_DECLARE_EXCEPTION(EModemBusy, EModem)
K419_DECLARE_EXCEPTION(EModemNotDialing, EModem)
K419_DECLARE_EXCEPTION(EModemNotResponding, EModem)
K419_DECLARE_EXCEPTION(EModemRejectedCommand, EModem)
K419_DECLARE_EXCEPTION(EModemStatusMismatch, EModem)
K419_DECLARE_EXCEPTION(EAlreadyDialing, EModem)
K419_DECLARE_EXCEPTION(ENotDialing, EModem)

K419_DECLARE_EXCEPTION(ETriggerTooLong, ETrigger)
K419_DECLARE_EXCEPTION(EBadTriggerHandle, ETrigger)

K419_DECLARE_EXCEPTION(EKeyTooLong, EINI)
K419_DECLARE_EXCEPTION(EDataTooLarge, EINI)
K419_DECLARE_EXCEPTION(EIniWrite, EINI)
K419_DECLARE_EXCEPTION(EIniRead, EINI)
K419_DECLARE_EXCEPTION(ERecordExists, EINI)
K419_DECLARE_EXCEPTION(ERecordNotFound, EINI)
K419_DECLARE_EXCEPTION(EDatabaseFull, EINI)
K419_DECLARE_EXCEPTION(EDatabaseEmpty, EINI)
K419_DECLARE_EXCEPTION(EBadFieldList, EINI)
K419_DECLARE_EXCEPTION(EBadFieldForIndex, EINI)

K419_DECLARE_EXCEPTION(EFaxBadFormat, EFax)
K419_DECLARE_EXCEPTION(EBadGraphicsFormat, EFax)
K419_DECLARE_EXCEPTION(EConvertAbort, EFax)
K419_DECLARE_EXCEPTION(EUnpackAbort, EFax)
K419_DECLARE_EXCEPTION(ECantMakeBitmap, EFax)
K419_DECLARE_EXCEPTION(EFaxBadMachine, EFax)
K419_DECLARE_EXCEPTION(EFaxBadModemResult, EFax)
K419_DECLARE_EXCEPTION(EFaxTrainError, EFax)
K419_DECLARE_EXCEPTION(EFaxInitError, EFax)
K419_DECLARE_EXCEPTION(EFaxBusy, EFax)
K419_DECLARE_EXCEPTION(EFaxVoiceCall, EFax)
K419_DECLARE_EXCEPTION(EFaxDataCall, EFax)
K419_DECLARE_EXCEPTION(EFaxNoDialTone, EFax)
K419_DECLARE_EXCEPTION(EFaxNoCarrier, EFax)
K419_DECLARE_EXCEPTION(EFaxSessionError, EFax)
K419_DECLARE_EXCEPTION(EFaxPageError, EFax)

K419_DECLARE_EXCEPTION(ETapiAllocated, ETapi)
K419_DECLARE_EXCEPTION(ETapiBadDeviceID, ETapi)
K419_DECLARE_EXCEPTION(ETapiBearerModeUnavail, ETapi)
K419_DECLARE_EXCEPTION(ETapiCallUnavail, ETapi)
K419_DECLARE_EXCEPTION(ETapiCompletionOverrun, ETapi)
K419_DECLARE_EXCEPTION(ETapiConferenceFull, ETapi)
K419_DECLARE_EXCEPTION(ETapiDialBilling, ETapi)
K419_DECLARE_EXCEPTION(ETapiDialDialtone, ETapi)
K419_DECLARE_EXCEPTION(ETapiDialPrompt, ETapi)
K419_DECLARE_EXCEPTION(ETapiDialQuiet, ETapi)
K419_DECLARE_EXCEPTION(ETapiIncompatibleApiVersion, ETapi)
K419_DECLARE_EXCEPTION(ETapiIncompatibleExtVersion, ETapi)
K419_DECLARE_EXCEPTION(ETapiIniFileCorrupt, ETapi)
K419_DECLARE_EXCEPTION(ETapiInUse, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalAddress, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalAddressID, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalAddressMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalAddressState, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalAppHandle, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalAppName, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalBearerMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallComplMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallHandle, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallParams, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallPrivilege, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallSelect, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallState, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCallStatelist, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCard, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCompletionID, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalConfCallHandle, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalConsultCallHandle, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalCountryCode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalDeviceClass, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalDeviceHandle, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalDialParams, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalDigitList, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalDigitMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalDigits, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalExtVersion, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalGroupID, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalLineHandle, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalLineState, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalLocation, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalMediaList, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalMediaMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalMessageID, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalParam, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalParkID, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalParkMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalPointer, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalPrivSelect, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalRate, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalRequestMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalTerminalID, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalTerminalMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalTimeout, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalTone, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalToneList, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalToneMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalTransferMode, ETapi)
K419_DECLARE_EXCEPTION(ETapiLineMapperFailed, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoConference, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoDevice, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoDriver, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoMem, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoRequest, ETapi)
K419_DECLARE_EXCEPTION(ETapiNotOwner, ETapi)
K419_DECLARE_EXCEPTION(ETapiNotRegistered, ETapi)
K419_DECLARE_EXCEPTION(ETapiOperationFailed, ETapi)
K419_DECLARE_EXCEPTION(ETapiOperationUnavail, ETapi)
K419_DECLARE_EXCEPTION(ETapiRateUnavail, ETapi)
K419_DECLARE_EXCEPTION(ETapiResourceUnavail, ETapi)
K419_DECLARE_EXCEPTION(ETapiRequestOverrun, ETapi)
K419_DECLARE_EXCEPTION(ETapiStructureTooSmall, ETapi)
K419_DECLARE_EXCEPTION(ETapiTargetNotFound, ETapi)
K419_DECLARE_EXCEPTION(ETapiTargetSelf, ETapi)
K419_DECLARE_EXCEPTION(ETapiUninitialized, ETapi)
K419_DECLARE_EXCEPTION(ETapiUserUserInfoTooBig, ETapi)
K419_DECLARE_EXCEPTION(ETapiReinit, ETapi)
K419_DECLARE_EXCEPTION(ETapiAddressBlocked, ETapi)
K419_DECLARE_EXCEPTION(ETapiBillingRejected, ETapi)
K419_DECLARE_EXCEPTION(ETapiInvalFeature, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoMultipleInstance, ETapi)
K419_DECLARE_EXCEPTION(ETapiBusy, ETapi)
K419_DECLARE_EXCEPTION(ETapiNotSet, ETapi)
K419_DECLARE_EXCEPTION(ETapiNoSelect, ETapi)
K419_DECLARE_EXCEPTION(ETapiLoadFail, ETapi)
K419_DECLARE_EXCEPTION(ETapiGetAddrFail, ETapi)
K419_DECLARE_EXCEPTION(ETapi16Disabled, ETapi)
K419_DECLARE_EXCEPTION(ETapiVoiceNotSupported, ETapi)
K419_DECLARE_EXCEPTION(ETapiWaveFail, ETapi)
K419_DECLARE_EXCEPTION(ETapiTranslateFail, ETapi)

#undef K419_DECLARE_EXCEPTION
