#include "qt/QtSerialDevice.h"

#include <QByteArray>
#include <QFileInfo>
#include <QMetaObject>
#include <QScopedValueRollback>
#include <QString>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace korvan {

QtSerialDevice::QtSerialDevice() {
    QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] { Notify(); });
    QObject::connect(&port_, &QSerialPort::bytesWritten, &port_, [this](qint64) { Notify(); });
    QObject::connect(&port_, &QSerialPort::errorOccurred, &port_,
                     [this](QSerialPort::SerialPortError e) { OnError(e); });
}

QtSerialDevice::~QtSerialDevice() {
    Close();
}

bool QtSerialDevice::Open(const std::string& devicePath) {
    Close();
    // Refusals of the steps below are answered here, not by the error watch.
    const QScopedValueRollback<bool> own(inOwnCall_, true);
    const QString target = QFileInfo(QString::fromLocal8Bit(devicePath)).canonicalFilePath();
    if (target.isEmpty())
        return false;  // nothing there, or a link to nothing

    // A name starting with "/" is taken as the device path as it stands.
    port_.setPortName(target);
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    port_.setReadBufferSize(0);
    if (!port_.open(QIODevice::ReadWrite)) {
        port_.clearError();
        return false;
    }

    // Bytes that arrive with a framing error or as a break are passed on
    // (as the received byte or a NUL) instead of being dropped: whatever the
    // monitoring software sends is its answer.
    const int fd = port_.handle();
    termios t{};
    if (::tcgetattr(fd, &t) == 0 && (t.c_iflag & (IGNPAR | IGNBRK)) != 0) {
        t.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | IGNBRK);
        ::tcsetattr(fd, TCSANOW, &t);
    }

    // A pseudo-terminal has no modem lines; it refuses these and still works.
    port_.setDataTerminalReady(true);
    port_.setRequestToSend(true);
    port_.clearError();

    errorCount_ = 0;
    ReadErrorCount(errorCount_);
    return true;
}

void QtSerialDevice::Close() {
    if (!port_.isOpen())
        return;
    port_.clear(QSerialPort::AllDirections);
    port_.setDataTerminalReady(false);
    port_.setRequestToSend(false);
    port_.close();
    port_.clearError();
}

bool QtSerialDevice::IsOpen() const {
    return port_.isOpen();
}

bool QtSerialDevice::Write(const Bytes& data) {
    if (!port_.isOpen())
        return false;
    const auto size = static_cast<qint64>(data.size());
    return port_.write(reinterpret_cast<const char*>(data.data()), size) == size;
}

std::size_t QtSerialDevice::PendingOutput() const {
    return static_cast<std::size_t>(port_.bytesToWrite());
}

void QtSerialDevice::DiscardOutput() {
    if (port_.isOpen())
        port_.clear(QSerialPort::Output);
}

void QtSerialDevice::DiscardInput() {
    // Flushes the driver's receive queue (tcflush) as well as what Qt has
    // read: right after an open Qt's own buffer is empty while the driver may
    // still hold bytes the other end sent before.
    if (port_.isOpen())
        port_.clear(QSerialPort::Input);
}

std::size_t QtSerialDevice::BytesWaiting() const {
    return static_cast<std::size_t>(port_.bytesAvailable());
}

Bytes QtSerialDevice::ReadAll() {
    const QByteArray data = port_.readAll();
    return Bytes(data.begin(), data.end());
}

bool QtSerialDevice::TakeLineError() {
    std::uint64_t count = 0;
    if (!port_.isOpen() || !ReadErrorCount(count) || count == errorCount_)
        return false;
    errorCount_ = count;
    return true;
}

bool QtSerialDevice::ReadErrorCount(std::uint64_t& count) const {
    // Real UARTs and most USB adapters count line errors; a pseudo-terminal
    // does not, and then there are simply none.
    serial_icounter_struct c{};
    if (::ioctl(port_.handle(), TIOCGICOUNT, &c) != 0)
        return false;
    count = static_cast<std::uint64_t>(c.frame) + static_cast<std::uint64_t>(c.parity) +
            static_cast<std::uint64_t>(c.brk) + static_cast<std::uint64_t>(c.overrun) +
            static_cast<std::uint64_t>(c.buf_overrun);
    return true;
}

void QtSerialDevice::Notify() {
    if (onActivity)
        onActivity();
}

void QtSerialDevice::OnError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || inOwnCall_)
        return;
    // Qt reports a hung-up device as a read error or a resource error, and
    // also a read that would block, or modem lines a pseudo-terminal does
    // not have. Only a device that no longer answers at all is closed; it is
    // looked at later, outside Qt's own read handling.
    QMetaObject::invokeMethod(
        &port_,
        [this] {
            if (!port_.isOpen())
                return;
            termios t{};
            if (::tcgetattr(port_.handle(), &t) == 0)
                return;
            if (errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF)
                Close();
        },
        Qt::QueuedConnection);
}

}  // namespace korvan
