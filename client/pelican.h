/* Pelican: a TFTP client library. One call downloads (GET) or uploads (PUT)
 * one file, driven by a command line in the manner of a console TFTP client.
 *
 *   [options] host[:port] GET|PUT remote_name [local_name]
 *
 *   -a    netascii mode: a GET writes each LF of the data as CR LF; a PUT
 *         reads CR LF as LF and stops at the byte 0x1A (default: octet)
 *   -bN   packet size N (block size N - 4); used when N > 516, capped at 65504
 *   -m    ask for the "multicast" option (GET only); when granted, the file
 *         is received through the group as a member or as its master
 *   -o    overwrite an existing local file on GET
 *   -rN   retransmissions before giving up (default 10)
 *   -s    do not send the "tsize" option
 *   -tN   seconds to wait for each answer (default 1)
 *   -wN   ask for the "windowsize" option (RFC 7440): N blocks (1..65535,
 *         larger values ask for 65535) go out before each ACK; the server
 *         may grant fewer. Without it, or when the server does not grant
 *         it, every block is acknowledged on its own. A PUT keeps its window
 *         in memory and asks for at most 16 MiB of blocks.
 *
 * Options are a dash or slash followed by one lower-case letter and, for b, r,
 * t and w, the digits right after it ("-b1468"). Arguments are separated by
 * white space; an argument with blanks is enclosed in double quotes. Only the
 * first 255 characters of a command line are read. Without local_name, the
 * local file is named after the last component of remote_name (the part after
 * its last '/' or '\\'), in the current directory; a last component that is
 * empty, "." or ".." is an invalid command line.
 * Every call starts from the defaults: nothing carries over to the next call.
 *
 * Calls are not reentrant: one transfer at a time per process. */
#ifndef PELICAN_H
#define PELICAN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PELICAN_API __attribute__((visibility("default")))
#else
#define PELICAN_API
#endif

/* Result codes of tftp_client. */
#define PELICAN_OK 0                 /* the transfer finished */
#define PELICAN_NO_BUFFER 1          /* the packet buffer could not be allocated */
#define PELICAN_BAD_COMMAND_LINE 2   /* invalid command line, or -m with PUT */
#define PELICAN_NO_SOCKET 3          /* the transfer socket could not be opened */
#define PELICAN_LOCAL_FILE_EXISTS 4  /* GET without -o, and the local file exists (untouched) */
#define PELICAN_LOCAL_FILE_FAILED 5  /* the local file could not be opened */
#define PELICAN_NO_ANSWER 6          /* no usable first answer (host unknown, silence, ...) */
#define PELICAN_UNFINISHED 8         /* the transfer started but did not finish */

/* Performs one transfer; blocks until it has ended. Returns a result code.
 *
 * A GET fills a new file beside the local file, readable and writable only by
 * its owner, and renames it to the local name only when the transfer has
 * finished (with the permissions of a newly created file). A GET that fails
 * leaves an existing local file untouched and no file behind.
 *
 * The first answer is taken only from the server's address (from any of its
 * ports); a datagram from another address is answered with ERROR 5. */
PELICAN_API int tftp_client(const char *command_line);

/* Stores in *size the bytes moved by the last call (the data bytes received
 * by a GET, or read from the local file and sent by a PUT, modulo 2^32), or 0
 * when that transfer failed. After a multicast GET: the server's tsize value
 * when the file came through the group as a plain member, else the bytes
 * received as the group's master. A PUT that got no answer (code 6) reports the
 * size its request announced. Returns 1 when the last transfer finished, 0
 * when it ended without finishing or never started, -1 when it failed (an
 * ERROR packet or an unexpected answer). size may be NULL. */
PELICAN_API int tftp_tsize(uint32_t *size);

#ifdef __cplusplus
}
#endif

#endif
