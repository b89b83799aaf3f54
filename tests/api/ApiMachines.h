// SPDX-License-Identifier: MIT
/* Simulated machines for the tests of the public headers and the C
 * interface. C linkage, and no type of the library's own: the programs that
 * use them see only the public headers (a C program among them). */
#ifndef TAVDISK_TESTS_API_APIMACHINES_H
#define TAVDISK_TESTS_API_APIMACHINES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Installs a new machine with two disks and two volumes:
 *   disk 0: ATA (SATA bus), IDENTIFY model "TAV MODEL 1000", serial "SN0001",
 *           firmware "FW01", 1953525168 sectors, 48-bit addressing; descriptor
 *           without vendor; controller 1 / disk 0; SCSI address 1:0:0:0;
 *           geometry 121601 x 255 x 63 x 512; sector 7 holds bytes 0..511 mod 256;
 *           volume C:\ with C:\mnt\data\ (the Windows directory is C:\Windows).
 *   disk 1: SAS, INQUIRY "TAV" / "ARRAY DISK" / "0001", descriptor serial
 *           "ABC123"; SCSI address 2:0:5:1; 0x1E848 sectors of 512 bytes,
 *           geometry 7 x 255 x 63 x 512; volume E:\ with E:\x; y\ and E:\z\.
 * Both hang on controller node "Standard SATA AHCI Controller". */
void tavtest_install_two_disks(void);
/* Makes disk `disk` of the installed machine impossible to open
 * (ERROR_ACCESS_DENIED). */
void tavtest_make_unopenable(int disk);
/* The installed machine's count of handles, sets and blocks still held, and
 * of bad releases; 0 when everything was released exactly once. */
unsigned long tavtest_leftovers(void);
/* A byte of disk `disk` at `offset`, as the machine holds it. */
unsigned tavtest_disk_byte(int disk, unsigned long long offset);
/* Uninstalls and destroys the machine. */
void tavtest_uninstall(void);

#ifdef __cplusplus
}
#endif

#endif
