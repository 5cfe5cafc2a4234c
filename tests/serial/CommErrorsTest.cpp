// Result codes to exceptions: classes, codes, messages and the runtime's own errors.
#include "serial/CommErrors.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>
#include <typeinfo>

#include "serial/StringStore.h"

namespace {

template <class G>
bool IsA(const std::exception* e) {
    return dynamic_cast<const G*>(e) != nullptr;
}

struct MappedCode {
    int32_t Code;
    const std::type_info& Class;
    bool (*InGroup)(const std::exception*);
    const char* Message;  // nullptr: the table's text, whatever it is
};

// Every code with a class of its own.
const MappedCode kMapped[] = {
    {-1002, typeid(EBadArgument), &IsA<EGeneral>, "Bad argument passed to function"},
    {-1003, typeid(EGotQuitMsg), &IsA<EGeneral>, "Got quit message"},
    {-1004, typeid(EBufferTooBig), &IsA<EGeneral>, "Terminal buffer greater than 65521"},
    {-1005, typeid(EPortNotAssigned), &IsA<EGeneral>, "ComPort component not assigned"},
    {-1006, typeid(EInternal), &IsA<EGeneral>, "Internal error creating window class"},
    {-1007, typeid(EModemNotAssigned), &IsA<EGeneral>, "Modem component not assigned"},
    {-1008, typeid(EPhonebookNotAssigned), &IsA<EGeneral>, "Phonebook component not assigned"},
    {-1009, typeid(ECannotUseWithWinSock), &IsA<EGeneral>, "Component not compatible with WinSock"},
    {-2001, typeid(EBadId), &IsA<EOpenComm>, "ie_BadId - Specified comport doesn't exist"},
    {-2002, typeid(EBaudRate), &IsA<EOpenComm>, "ie_Baudrate - unsupported baud rate"},
    {-2003, typeid(EByteSize), &IsA<EOpenComm>, "ie_Bytesize - invalid byte size"},
    {-2004, typeid(EDefault), &IsA<EOpenComm>, "ie_Default - error in default parameters"},
    {-2005, typeid(EHardware), &IsA<EOpenComm>, "ie_Hardware - Specified comport in use"},
    {-2006, typeid(EMemory), &IsA<EOpenComm>, "ie_Memory - unable to allocate queues"},
    {-2007, typeid(ECommNotOpen), &IsA<EOpenComm>, "ie_NOpen - device not open"},
    {-2008, typeid(EAlreadyOpen), &IsA<EOpenComm>, "ie_Open - device already open"},
    {-2009, typeid(ENoHandles), &IsA<EOpenComm>, "No more handles, can't open port"},
    {-2010, typeid(ENoTimers), &IsA<EOpenComm>, "No timers available"},
    {-2011, typeid(ENoPortSelected), &IsA<EOpenComm>,
     "The ComNumber property of the TComPort has not been set"},
    {-2012, typeid(ENotOpenedByTapi), &IsA<EOpenComm>, "Comport was not opened by Tapi"},
    {-3001, typeid(ENullApi), &IsA<ESerialIO>, "No device layer specified"},
    {-3003, typeid(ERegisterHandlerFailed), &IsA<ESerialIO>, "EnableCommNotification failed"},
    {-3004, typeid(EPutBlockFail), &IsA<ESerialIO>, "Failed to put entire block"},
    {-3005, typeid(EGetBlockFail), &IsA<ESerialIO>, "Failed to get entire block"},
    {-3006, typeid(EOutputBufferTooSmall), &IsA<ESerialIO>, "Output buffer too small for block"},
    {-3007, typeid(EBufferIsEmpty), &IsA<ESerialIO>, "Buffer is empty"},
    {-3008, typeid(ETracingNotEnabled), &IsA<ESerialIO>, "Tracing not enabled"},
    {-3009, typeid(ELoggingNotEnabled), &IsA<ESerialIO>, "Logging not enabled"},
    {-3010, typeid(EBaseAddressNotSet), &IsA<ESerialIO>, "Base address not set"},
    {-4001, typeid(EModemNotStarted), &IsA<EModem>, "StartModem has not been called"},
    {-4002, typeid(EModemBusy), &IsA<EModem>, "Modem is busy elsewhere"},
    {-4003, typeid(EModemNotDialing), &IsA<EModem>, "Modem is not currently dialing"},
    {-4004, typeid(ENotDialing), &IsA<EModem>, "Dialer is not dialing"},
    {-4005, typeid(EAlreadyDialing), &IsA<EModem>, "Dialer is already dialing"},
    {-4006, typeid(EModemNotResponding), &IsA<EModem>, "Modem is not responding"},
    {-4007, typeid(EModemRejectedCommand), &IsA<EModem>, "Invalid command sent to modem"},
    {-4008, typeid(EModemStatusMismatch), &IsA<EModem>, "Wrong modem status requested"},
    {-5002, typeid(ETriggerTooLong), &IsA<ETrigger>, "Data trigger too long"},
    {-5003, typeid(EBadTriggerHandle), &IsA<ETrigger>, "Bad trigger handle"},
    {-6006, typeid(EProtocol), &IsA<ECommException>, "Fatal time out"},
    {-6008, typeid(EProtocol), &IsA<ECommException>, "Too many errors during protocol"},
    {-6009, typeid(EProtocol), &IsA<ECommException>, "Block sequence error in Xmodem"},
    {-7001, typeid(EKeyTooLong), &IsA<EINI>, "Key string too long"},
    {-7002, typeid(EDataTooLarge), &IsA<EINI>, "Data string too long"},
    {-7003, typeid(EInternal), &IsA<EGeneral>, "No fields defined in database"},
    {-7004, typeid(EIniWrite), &IsA<EINI>, "Generic INI file write error"},
    {-7005, typeid(EIniRead), &IsA<EINI>, "Generic INI file read error"},
    {-7006, typeid(EInternal), &IsA<EGeneral>, "No index defined for database"},
    {-7007, typeid(ERecordExists), &IsA<EINI>, "Record already exists"},
    {-7008, typeid(ERecordNotFound), &IsA<EINI>, "Record not found in database"},
    {-7010, typeid(EDatabaseFull), &IsA<EINI>, "Maximum database records (999) reached"},
    {-7011, typeid(EDatabaseEmpty), &IsA<EINI>, "No records in database"},
    {-7012, typeid(EInternal), &IsA<EGeneral>, "iPrepareIniDatabase not called"},
    {-7013, typeid(EBadFieldList), &IsA<EINI>, "Bad field list in INI component"},
    {-7014, typeid(EBadFieldForIndex), &IsA<EINI>, "Bad field index in INI component"},
    {-8001, typeid(EFaxBadFormat), &IsA<EFax>, nullptr},
    {-8002, typeid(EBadGraphicsFormat), &IsA<EFax>, nullptr},
    {-8003, typeid(EConvertAbort), &IsA<EFax>, nullptr},
    {-8004, typeid(EUnpackAbort), &IsA<EFax>, nullptr},
    {-8005, typeid(ECantMakeBitmap), &IsA<EFax>, nullptr},
    {-8060, typeid(EFaxBadMachine), &IsA<EFax>, nullptr},
    {-8061, typeid(EFaxBadModemResult), &IsA<EFax>, nullptr},
    {-8062, typeid(EFaxTrainError), &IsA<EFax>, nullptr},
    {-8063, typeid(EFaxInitError), &IsA<EFax>, nullptr},
    {-8064, typeid(EFaxBusy), &IsA<EFax>, nullptr},
    {-8065, typeid(EFaxVoiceCall), &IsA<EFax>, nullptr},
    {-8066, typeid(EFaxDataCall), &IsA<EFax>, nullptr},
    {-8067, typeid(EFaxNoDialTone), &IsA<EFax>, nullptr},
    {-8068, typeid(EFaxNoCarrier), &IsA<EFax>, nullptr},
    {-8069, typeid(EFaxSessionError), &IsA<EFax>, nullptr},
    {-8070, typeid(EFaxPageError), &IsA<EFax>, nullptr},
    {-13801, typeid(ETapiAllocated), &IsA<ETapi>, nullptr},
    {-13802, typeid(ETapiBadDeviceID), &IsA<ETapi>, nullptr},
    {-13803, typeid(ETapiBearerModeUnavail), &IsA<ETapi>, nullptr},
    {-13805, typeid(ETapiCallUnavail), &IsA<ETapi>, nullptr},
    {-13806, typeid(ETapiCompletionOverrun), &IsA<ETapi>, nullptr},
    {-13807, typeid(ETapiConferenceFull), &IsA<ETapi>, nullptr},
    {-13808, typeid(ETapiDialBilling), &IsA<ETapi>, nullptr},
    {-13809, typeid(ETapiDialDialtone), &IsA<ETapi>, nullptr},
    {-13810, typeid(ETapiDialPrompt), &IsA<ETapi>, nullptr},
    {-13811, typeid(ETapiDialQuiet), &IsA<ETapi>, nullptr},
    {-13812, typeid(ETapiIncompatibleApiVersion), &IsA<ETapi>, nullptr},
    {-13813, typeid(ETapiIncompatibleExtVersion), &IsA<ETapi>, nullptr},
    {-13814, typeid(ETapiIniFileCorrupt), &IsA<ETapi>, nullptr},
    {-13815, typeid(ETapiInUse), &IsA<ETapi>, nullptr},
    {-13816, typeid(ETapiInvalAddress), &IsA<ETapi>, nullptr},
    {-13817, typeid(ETapiInvalAddressID), &IsA<ETapi>, nullptr},
    {-13818, typeid(ETapiInvalAddressMode), &IsA<ETapi>, nullptr},
    {-13819, typeid(ETapiInvalAddressState), &IsA<ETapi>, nullptr},
    {-13820, typeid(ETapiInvalAppHandle), &IsA<ETapi>, nullptr},
    {-13821, typeid(ETapiInvalAppName), &IsA<ETapi>, nullptr},
    {-13822, typeid(ETapiInvalBearerMode), &IsA<ETapi>, nullptr},
    {-13823, typeid(ETapiInvalCallComplMode), &IsA<ETapi>, nullptr},
    {-13824, typeid(ETapiInvalCallHandle), &IsA<ETapi>, nullptr},
    {-13825, typeid(ETapiInvalCallParams), &IsA<ETapi>, nullptr},
    {-13826, typeid(ETapiInvalCallPrivilege), &IsA<ETapi>, nullptr},
    {-13827, typeid(ETapiInvalCallSelect), &IsA<ETapi>, nullptr},
    {-13828, typeid(ETapiInvalCallState), &IsA<ETapi>, nullptr},
    {-13829, typeid(ETapiInvalCallStatelist), &IsA<ETapi>, nullptr},
    {-13830, typeid(ETapiInvalCard), &IsA<ETapi>, nullptr},
    {-13831, typeid(ETapiInvalCompletionID), &IsA<ETapi>, nullptr},
    {-13832, typeid(ETapiInvalConfCallHandle), &IsA<ETapi>, nullptr},
    {-13833, typeid(ETapiInvalConsultCallHandle), &IsA<ETapi>, nullptr},
    {-13834, typeid(ETapiInvalCountryCode), &IsA<ETapi>, nullptr},
    {-13835, typeid(ETapiInvalDeviceClass), &IsA<ETapi>, nullptr},
    {-13836, typeid(ETapiInvalDeviceHandle), &IsA<ETapi>, nullptr},
    {-13837, typeid(ETapiInvalDialParams), &IsA<ETapi>, nullptr},
    {-13838, typeid(ETapiInvalDigitList), &IsA<ETapi>, nullptr},
    {-13839, typeid(ETapiInvalDigitMode), &IsA<ETapi>, nullptr},
    {-13840, typeid(ETapiInvalDigits), &IsA<ETapi>, nullptr},
    {-13841, typeid(ETapiInvalExtVersion), &IsA<ETapi>, nullptr},
    {-13842, typeid(ETapiInvalGroupID), &IsA<ETapi>, nullptr},
    {-13843, typeid(ETapiInvalLineHandle), &IsA<ETapi>, nullptr},
    {-13844, typeid(ETapiInvalLineState), &IsA<ETapi>, nullptr},
    {-13845, typeid(ETapiInvalLocation), &IsA<ETapi>, nullptr},
    {-13846, typeid(ETapiInvalMediaList), &IsA<ETapi>, nullptr},
    {-13847, typeid(ETapiInvalMediaMode), &IsA<ETapi>, nullptr},
    {-13848, typeid(ETapiInvalMessageID), &IsA<ETapi>, nullptr},
    {-13850, typeid(ETapiInvalParam), &IsA<ETapi>, nullptr},
    {-13851, typeid(ETapiInvalParkID), &IsA<ETapi>, nullptr},
    {-13852, typeid(ETapiInvalParkMode), &IsA<ETapi>, nullptr},
    {-13853, typeid(ETapiInvalPointer), &IsA<ETapi>, nullptr},
    {-13854, typeid(ETapiInvalPrivSelect), &IsA<ETapi>, nullptr},
    {-13855, typeid(ETapiInvalRate), &IsA<ETapi>, nullptr},
    {-13856, typeid(ETapiInvalRequestMode), &IsA<ETapi>, nullptr},
    {-13857, typeid(ETapiInvalTerminalID), &IsA<ETapi>, nullptr},
    {-13858, typeid(ETapiInvalTerminalMode), &IsA<ETapi>, nullptr},
    {-13859, typeid(ETapiInvalTimeout), &IsA<ETapi>, nullptr},
    {-13860, typeid(ETapiInvalTone), &IsA<ETapi>, nullptr},
    {-13861, typeid(ETapiInvalToneList), &IsA<ETapi>, nullptr},
    {-13862, typeid(ETapiInvalToneMode), &IsA<ETapi>, nullptr},
    {-13863, typeid(ETapiInvalTransferMode), &IsA<ETapi>, nullptr},
    {-13864, typeid(ETapiLineMapperFailed), &IsA<ETapi>, nullptr},
    {-13865, typeid(ETapiNoConference), &IsA<ETapi>, nullptr},
    {-13866, typeid(ETapiNoDevice), &IsA<ETapi>, nullptr},
    {-13867, typeid(ETapiNoDriver), &IsA<ETapi>, nullptr},
    {-13868, typeid(ETapiNoMem), &IsA<ETapi>, nullptr},
    {-13869, typeid(ETapiNoRequest), &IsA<ETapi>, nullptr},
    {-13870, typeid(ETapiNotOwner), &IsA<ETapi>, nullptr},
    {-13871, typeid(ETapiNotRegistered), &IsA<ETapi>, nullptr},
    {-13872, typeid(ETapiOperationFailed), &IsA<ETapi>, nullptr},
    {-13873, typeid(ETapiOperationUnavail), &IsA<ETapi>, nullptr},
    {-13874, typeid(ETapiRateUnavail), &IsA<ETapi>, nullptr},
    {-13875, typeid(ETapiResourceUnavail), &IsA<ETapi>, nullptr},
    {-13876, typeid(ETapiRequestOverrun), &IsA<ETapi>, nullptr},
    {-13877, typeid(ETapiStructureTooSmall), &IsA<ETapi>, nullptr},
    {-13878, typeid(ETapiTargetNotFound), &IsA<ETapi>, nullptr},
    {-13879, typeid(ETapiTargetSelf), &IsA<ETapi>, nullptr},
    {-13880, typeid(ETapiUninitialized), &IsA<ETapi>, nullptr},
    {-13881, typeid(ETapiUserUserInfoTooBig), &IsA<ETapi>, nullptr},
    {-13882, typeid(ETapiReinit), &IsA<ETapi>, nullptr},
    {-13883, typeid(ETapiAddressBlocked), &IsA<ETapi>, nullptr},
    {-13884, typeid(ETapiBillingRejected), &IsA<ETapi>, nullptr},
    {-13885, typeid(ETapiInvalFeature), &IsA<ETapi>, nullptr},
    {-13886, typeid(ETapiNoMultipleInstance), &IsA<ETapi>, nullptr},
    {-13928, typeid(ETapiBusy), &IsA<ETapi>, nullptr},
    {-13929, typeid(ETapiNotSet), &IsA<ETapi>, nullptr},
    {-13930, typeid(ETapiNoSelect), &IsA<ETapi>, nullptr},
    {-13931, typeid(ETapiLoadFail), &IsA<ETapi>, nullptr},
    {-13932, typeid(ETapiGetAddrFail), &IsA<ETapi>, nullptr},
    {-13933, typeid(ETapi16Disabled), &IsA<ETapi>, nullptr},
    {-13935, typeid(ETapiVoiceNotSupported), &IsA<ETapi>, nullptr},
    {-13936, typeid(ETapiWaveFail), &IsA<ETapi>, nullptr},
    {-13942, typeid(ETapiTranslateFail), &IsA<ETapi>, nullptr},
};

TEST(CommErrors, EveryMappedCodeRaisesItsClass) {
    // EGeneral, EOpenComm, ... 164 codes for 158 leaves and EProtocol (EInternal and EProtocol
    // serve several codes).
    ASSERT_EQ(std::size(kMapped), 164u);
    for (const MappedCode& m : kMapped) {
        try {
            CheckResult(false, m.Code);
            ADD_FAILURE() << m.Code << " raised nothing";
        } catch (const ECommException& e) {
            EXPECT_EQ(typeid(e), m.Class) << m.Code << " raised " << typeid(e).name();
            EXPECT_TRUE(m.InGroup(&e)) << m.Code << " is outside its group";
            EXPECT_EQ(e.ResultCode(), m.Code);
            if (m.Message != nullptr) {
                EXPECT_STREQ(e.what(), m.Message) << m.Code;
            }
            // The text comes from the table, never from the fallbacks.
            EXPECT_EQ(e.what(), K419ErrorStringsEnglish().Text(-m.Code)) << m.Code;
            EXPECT_NE(std::string(e.what()), "") << m.Code;
        }
    }
}

TEST(CommErrors, GroupsDeriveFromTheRoot) {
    const EGeneral general(std::string("x"));
    const EProtocol protocol(-6006);
    const EFaxBusy faxBusy(-8064);
    EXPECT_TRUE(IsA<ECommException>(&general));
    EXPECT_TRUE(IsA<Exception>(&protocol));
    EXPECT_FALSE(IsA<EGeneral>(&protocol));
    EXPECT_FALSE(IsA<EOpenComm>(&general));
    EXPECT_FALSE(IsA<ETapi>(&faxBusy));
    EXPECT_TRUE(IsA<EFax>(&faxBusy));
}

TEST(CommErrors, NonNegativeOrLoadingReturnsTheCode) {
    for (int32_t code : {0, 1, 12, 4096, INT32_MAX}) {
        EXPECT_EQ(CheckResult(false, code), code);
        EXPECT_EQ(CheckResult(true, code), code);
    }
    for (int32_t code : {-1, -2, -8, -87, -2005, -3007, -13942, INT32_MIN})
        EXPECT_EQ(CheckResult(true, code), code);
}

TEST(CommErrors, CodesWithoutClassRaiseSerialPortException) {
    for (int32_t code : {-1, -163, -1001, -3002, -5001, -7009, -13804, -13934, -99999, INT32_MIN}) {
        try {
            CheckResult(false, code);
            ADD_FAILURE() << code << " raised nothing";
        } catch (const ECommException& e) {
            EXPECT_EQ(typeid(e), typeid(ECommException)) << code;
            EXPECT_STREQ(e.what(), "Serial port exception") << code;
            EXPECT_EQ(e.ResultCode(), 0) << code;
        }
    }
}

// The system's own text for error 1314 (no permission), as one line: our platform layer's
// advice on Linux, Windows' message table elsewhere.
std::string PermissionText() {
#ifdef _WIN32
    char buffer[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 1314, 0, buffer,
                                        sizeof buffer, nullptr);
    std::string text;
    for (DWORD i = 0; i < length; ++i) {
        const char c = buffer[i] == '\r' || buffer[i] == '\n' ? ' ' : buffer[i];
        if (!(c == ' ' && !text.empty() && text.back() == ' ')) text += c;
    }
    return text;
#else
    return "Permission denied: this user may not open the serial device. On Linux, add the "
           "user to the group that owns the device (usually dialout: sudo adduser $USER "
           "dialout) and log in again. ";
#endif
}

TEST(CommErrors, SystemErrorNumbersRaiseInOutError) {
    const std::string permission = PermissionText();
    const struct {
        int32_t Code;
        const char* Message;
    } cases[] = {
        {-2, "File not found"},
        {-3, "Path not found"},
        {-5, "File access denied"},
        {-100, "Attempt to read beyond end of file"},
        {-162, "General failure"},
        // No permission to open the device: the platform's own text (ours names the group).
        {-1314, permission.c_str()},
    };
    for (const auto& c : cases) {
        try {
            CheckResult(false, c.Code);
            ADD_FAILURE() << c.Code << " raised nothing";
        } catch (const EInOutError& e) {
            EXPECT_STREQ(e.what(), c.Message) << c.Code;
            EXPECT_EQ(e.ErrorCode(), -c.Code);
        }
    }
}

TEST(CommErrors, AllocationFailureRaisesOutOfMemory) {
    try {
        CheckResult(false, -8);
        ADD_FAILURE() << "-8 raised nothing";
    } catch (const EInOutError&) {
        ADD_FAILURE() << "-8 raised an input/output error";
    } catch (const EOutOfMemory& e) {
        EXPECT_STRNE(e.what(), "");
    }
}

// A system error number without a table entry takes the operating system's text, with the
// line break at its end reduced to one space and no control characters left.
TEST(CommErrors, SystemTextIsTheFallback) {
    try {
        CheckResult(false, -87);
        ADD_FAILURE() << "-87 raised nothing";
    } catch (const EInOutError& e) {
        const std::string text = e.what();
        EXPECT_EQ(e.ErrorCode(), 87);
        ASSERT_GT(text.size(), 1u);
        EXPECT_EQ(text.back(), ' ');
        EXPECT_EQ(text.find("  "), std::string::npos) << text;
        for (char c : text) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << text;
        char raw[256] = {};
        ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 87, 0, raw, 255, nullptr),
                  0u);
        EXPECT_EQ(text.substr(0, text.size() - 1), std::string(raw).substr(0, text.size() - 1));
    }
}

TEST(CommErrors, ErrorMessageLookupRules) {
    EXPECT_EQ(ErrorMessage(0), "OK");
    EXPECT_EQ(ErrorMessage(2005), "ie_Hardware - Specified comport in use");
    EXPECT_EQ(ErrorMessage(-2005), ErrorMessage(2005));
    // Numbers that neither the table nor the system knows still get a text.
    for (int32_t n : {31999, INT32_MIN, INT32_MAX}) {
        const std::string text = ErrorMessage(n);
        EXPECT_FALSE(text.empty()) << n;
        EXPECT_LE(text.size(), 255u) << n;
    }
}

TEST(CommErrors, BuiltFromCodeOrText) {
    const ENullApi fromCode(-3001);
    EXPECT_EQ(fromCode.ResultCode(), -3001);
    EXPECT_STREQ(fromCode.what(), "No device layer specified");
    EXPECT_EQ(fromCode.Message(), "No device layer specified");
    const ENoPortSelected noPort(-2011);
    EXPECT_STREQ(noPort.what(), "The ComNumber property of the TComPort has not been set");
    const ECommException fromText(std::string("Serial port exception"));
    EXPECT_EQ(fromText.ResultCode(), 0);
    EXPECT_STREQ(fromText.what(), "Serial port exception");
}

}  // namespace
