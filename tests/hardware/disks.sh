# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The emulated machine: controllers, disks and the identity strings set on
# the qemu command line. Sourced by run.sh on the host (to build the qemu
# command and the disk images) and by guest.sh inside the guest (as the
# first of the two sources every field is checked against).
#
# Per disk D (all sizes in bytes):
#   D[D.kind]      ata | scsi | usb-bot | uas | nvme | virtio
#   D[D.device]    the qemu -device option, without drive=
#   D[D.size]      image size; D[D.lbs] logical block size
#   D[D.bus]       STORAGE_BUS_TYPE name tavdisk must report
#   D[D.tran]      lsblk's TRAN for the disk
#   D[D.pci]       vendor:device of the PCI controller above the disk
#   D[D.target], D[D.lun], D[D.channel]   SCSI address set on the command line
#                  (for ATA disks: target = 1 for an IDE slave)
#   D[D.host]      SCSI host number the kernel gives the controller: fixed
#                  by the order run.sh loads the drivers in
#   D[D.model], D[D.serial], D[D.fw]      ATA IDENTIFY strings (ata)
#   D[D.vendor], D[D.product], D[D.rev]   INQUIRY strings (scsi, uas)
#   D[D.serial]    the unit serial number every disk is told apart by
#   D[D.mounts]    mount points of the volumes on the disk, '|'-separated
#   D[D.rt]        sector of the WriteSector/ReadSector round trip
#   D[D.ro]        1: the disk is read-only (qemu readonly=on); the round
#                  trip's write is refused and changes nothing
#   D[D.wwn]       the world-wide name set on the command line (scsi-hd
#                  wwn=), as the kernel writes it in the disk's wwid
#
# Strings qemu fixes itself (NVMe model and firmware, the usb-storage
# INQUIRY) are derived from the qemu version in guest.sh.

# shellcheck disable=SC2034  # used by the scripts that source this file

TAVHW_TIB=$((1024 * 1024 * 1024 * 1024))
TAVHW_MIB=$((1024 * 1024))

# Controllers, in the order they get their PCI slots.
TAVHW_CONTROLLERS=(
    "ahci,id=ahci0"
    "virtio-scsi-pci,id=vscsi0"
    "lsi53c895a,id=lsi0"
    "qemu-xhci,id=xhci0"
)

# Disks, in the order they are put on the command line.
TAVHW_DISKS=(sata ide vscsi lsi4k nvme usb uas vblk bigata bigscsi)

declare -A D=(
    # SATA on AHCI port 2: partitions with ext4 (mounted twice: bind) and
    # vfat (mounted at a path with a space). Model longer than an INQUIRY
    # product field, firmware shorter than its field. A solid-state disk
    # (rotation rate 1), where every other disk rotates.
    [sata.kind]=ata
    [sata.device]="ide-hd,bus=ahci0.2,model=TAV SATA DISK ONE,serial=TAVSATA0001,ver=SF1.2,rotation_rate=1"
    [sata.size]=$((1024 * TAVHW_MIB)) [sata.lbs]=512
    [sata.bus]=SATA [sata.tran]=sata [sata.pci]=8086:2922
    [sata.model]="TAV SATA DISK ONE" [sata.serial]=TAVSATA0001 [sata.fw]=SF1.2
    [sata.host]=4
    [sata.mounts]="/mnt/tavdata|/mnt/tavbind|/mnt/tav space"
    [sata.rt]=100

    # Legacy IDE (PIIX3) secondary channel, slave.
    [ide.kind]=ata
    [ide.device]="ide-hd,bus=ide.1,unit=1,model=TAV PATA SLAVE,serial=TAVIDE00042,ver=PF7"
    [ide.size]=$((64 * TAVHW_MIB)) [ide.lbs]=512
    [ide.bus]=ATA [ide.tran]=ata [ide.pci]=8086:7010
    [ide.target]=1 [ide.model]="TAV PATA SLAVE" [ide.serial]=TAVIDE00042 [ide.fw]=PF7
    [ide.host]=1
    [ide.mounts]=""
    [ide.rt]=100

    # virtio-scsi, target 3 LUN 2 (no LUN 0 behind that target); a
    # two-character revision; 512-byte sectors on 4096-byte physical ones;
    # a world-wide name of its own (a NAA designator in its page 83h).
    [vscsi.kind]=scsi
    [vscsi.device]="scsi-hd,bus=vscsi0.0,channel=0,scsi-id=3,lun=2,physical_block_size=4096,vendor=TAVVEND,product=TAV VSCSI LUN2,ver=V3,serial=TAVVS0302,wwn=0x5000c50015ea71ac"
    [vscsi.size]=$((128 * TAVHW_MIB)) [vscsi.lbs]=512
    [vscsi.bus]=SCSI [vscsi.tran]="" [vscsi.pci]=1af4:1004
    [vscsi.vendor]=TAVVEND [vscsi.product]="TAV VSCSI LUN2" [vscsi.rev]=V3 [vscsi.serial]=TAVVS0302
    [vscsi.target]=3 [vscsi.lun]=2 [vscsi.channel]=0
    [vscsi.host]=8 [vscsi.wwn]=naa.5000c50015ea71ac
    [vscsi.mounts]=""
    [vscsi.rt]=100

    # A second SCSI HBA (parallel SCSI, sym53c8xx) with 4096-byte sectors
    # and an ext4 partition.
    [lsi4k.kind]=scsi
    [lsi4k.device]="scsi-hd,bus=lsi0.0,scsi-id=2,lun=0,logical_block_size=4096,physical_block_size=4096,vendor=TAV4KN,product=TAV LSI 4K DISK,ver=4K01,serial=TAVLSI4K01"
    [lsi4k.size]=$((128 * TAVHW_MIB)) [lsi4k.lbs]=4096
    [lsi4k.bus]=SCSI [lsi4k.tran]=spi [lsi4k.pci]=1000:0012
    [lsi4k.vendor]=TAV4KN [lsi4k.product]="TAV LSI 4K DISK" [lsi4k.rev]=4K01 [lsi4k.serial]=TAVLSI4K01
    [lsi4k.target]=2 [lsi4k.lun]=0 [lsi4k.channel]=0
    [lsi4k.host]=9
    [lsi4k.mounts]="/mnt/tav4k"
    [lsi4k.rt]=100

    # NVMe: its partition is half of the spanned volume.
    [nvme.kind]=nvme
    [nvme.device]="nvme,serial=TAVNVME0001"
    [nvme.size]=$((256 * TAVHW_MIB)) [nvme.lbs]=512
    [nvme.bus]=NVMe [nvme.tran]=nvme [nvme.pci]=1b36:0010
    [nvme.serial]=TAVNVME0001
    [nvme.mounts]="/mnt/tavspan"
    [nvme.rt]=100

    # USB mass storage, bulk-only transport.
    [usb.kind]=usb-bot
    [usb.device]="usb-storage,bus=xhci0.0,port=1,serial=TAVUSB00001"
    [usb.size]=$((64 * TAVHW_MIB)) [usb.lbs]=512
    [usb.bus]=USB [usb.tran]=usb [usb.pci]=1b36:000d
    [usb.serial]=TAVUSB00001
    [usb.target]=0 [usb.lun]=0 [usb.channel]=0
    [usb.host]=10
    [usb.mounts]=""
    [usb.rt]=100 [usb.ro]=1

    # USB Attached SCSI: the SCSI disk behind it carries its own strings.
    [uas.kind]=uas
    [uas.hba]="usb-uas,id=uas0,bus=xhci0.0,port=2,serial=TAVUASDEV01"
    [uas.device]="scsi-hd,bus=uas0.0,scsi-id=0,lun=0,vendor=TAVUAS,product=TAV UAS DISK,ver=U1,serial=TAVUAS0001"
    [uas.size]=$((64 * TAVHW_MIB)) [uas.lbs]=512
    [uas.bus]=USB [uas.tran]=usb [uas.pci]=1b36:000d
    [uas.vendor]=TAVUAS [uas.product]="TAV UAS DISK" [uas.rev]=U1 [uas.serial]=TAVUAS0001
    [uas.target]=0 [uas.lun]=0 [uas.channel]=0
    [uas.host]=11
    [uas.mounts]=""
    [uas.rt]=100

    # virtio-blk: its partition is the other half of the spanned volume.
    [vblk.kind]=virtio
    [vblk.device]="virtio-blk-pci,serial=TAVVBLK0001"
    [vblk.size]=$((256 * TAVHW_MIB)) [vblk.lbs]=512
    [vblk.bus]=Virtual [vblk.tran]="" [vblk.pci]=1af4:1001
    [vblk.serial]=TAVVBLK0001
    [vblk.mounts]="/mnt/tavspan"
    [vblk.rt]=100

    # More than 2^32 sectors: SATA (48-bit IDENTIFY words) on AHCI port 4.
    [bigata.kind]=ata
    [bigata.device]="ide-hd,bus=ahci0.4,model=TAV BIG SATA 3T,serial=TAVBIGATA01,ver=BA48"
    [bigata.size]=$((3 * TAVHW_TIB)) [bigata.lbs]=512
    [bigata.bus]=SATA [bigata.tran]=sata [bigata.pci]=8086:2922
    [bigata.model]="TAV BIG SATA 3T" [bigata.serial]=TAVBIGATA01 [bigata.fw]=BA48
    [bigata.host]=6
    [bigata.mounts]=""
    [bigata.rt]=4294967295

    # More than 2^32 sectors: SCSI (READ CAPACITY(10) answers 0xFFFFFFFF).
    [bigscsi.kind]=scsi
    [bigscsi.device]="scsi-hd,bus=vscsi0.0,channel=0,scsi-id=5,lun=0,vendor=TAVBIG,product=TAV BIG SCSI 3T,ver=BS16,serial=TAVBIGSCSI01"
    [bigscsi.size]=$((3 * TAVHW_TIB)) [bigscsi.lbs]=512
    [bigscsi.bus]=SCSI [bigscsi.tran]="" [bigscsi.pci]=1af4:1004
    [bigscsi.vendor]=TAVBIG [bigscsi.product]="TAV BIG SCSI 3T" [bigscsi.rev]=BS16 [bigscsi.serial]=TAVBIGSCSI01
    [bigscsi.target]=5 [bigscsi.lun]=0 [bigscsi.channel]=0
    [bigscsi.host]=8
    [bigscsi.mounts]=""
    [bigscsi.rt]=4294967295
)

# The spanned volume: device-mapper linear over the first partition of
# each of these two disks, ext4, mounted at TAVHW_SPAN_MOUNT.
TAVHW_SPAN_NAME=tavspan
TAVHW_SPAN_DISKS=(vblk nvme)
TAVHW_SPAN_MOUNT=/mnt/tavspan

# The software RAID: md RAID 1 over two loop devices on files in the guest's
# memory (so no configured disk changes), ext4, mounted at TAVHW_MD_MOUNT.
TAVHW_MD_NAME=md0
TAVHW_MD_MOUNT=/mnt/tavmd

# Replay recordings written by `run.sh --record`: name and the disks in it.
declare -A TAVHW_TREES=(
    [qemu-sata]="sata bigata"
    [qemu-ide]="ide"
    [qemu-scsi]="vscsi bigscsi"
    [qemu-lsi4k]="lsi4k"
    [qemu-nvme]="nvme"
    [qemu-usb]="usb uas"
    [qemu-virtio]="vblk"
    [qemu-span]="vblk nvme span"
)
# Recordings that hold only part of what lies under their volumes (the
# spanned volume's other disk): their replay is not compared for volumes.
TAVHW_TREES_PARTIAL="qemu-nvme qemu-virtio"
