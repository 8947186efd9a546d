// The bytes a call has moved, counted without the 32-bit limit of
// tftp_tsize, and their report to a program that shows progress.
#include "client/transfer_count.h"

progress_procedure progress_report = nullptr;

void count_moved(client_transfer& transfer, std::size_t length) {
  transfer.bytes_moved += length;
  if (progress_report) progress_report(transfer);
}
