# The DLL's export directory, written out by hand: 29 entries, ordinal base 1,
# C calling convention. GetData stands at ordinals 7 and 26, both naming the
# same function, which a .def file cannot express (ld merges duplicate names).
# The name pointers must be in byte order of the names; ordinals are 0-based.

    .section .edata,"dr"
    .p2align 2
    .globl export_directory
export_directory:
    .long 0                 # characteristics
    .long 0                 # time stamp
    .short 0, 0             # version
    .rva dll_name
    .long 1                 # ordinal base
    .long 29                # address table entries
    .long 29                # name pointers
    .rva address_table
    .rva name_pointers
    .rva ordinal_table

address_table:              # in ordinal order
    .rva _exp_Close              # 1
    .rva _exp_open               # 2
    .rva _exp_getport            # 3
    .rva _exp_setport            # 4
    .rva _exp_getstring          # 5
    .rva _exp_sendstring         # 6
    .rva _exp_GetData            # 7
    .rva _exp_senddata           # 8
    .rva _exp_getparity          # 9
    .rva _exp_setparity          # 10
    .rva _exp_getstopbit         # 11
    .rva _exp_setstopbit         # 12
    .rva _exp_getdatabit         # 13
    .rva _exp_setdatabit         # 14
    .rva _exp_getbaudrate        # 15
    .rva _exp_setbaudrate        # 16
    .rva _exp_Draw               # 17
    .rva _exp_SetParentWindow    # 18
    .rva _exp_CreateObject       # 19
    .rva _exp_Interface          # 20
    .rva _exp_HasIntDlg          # 21
    .rva _exp_GetInfo            # 22
    .rva _exp_GetShortInfo       # 23
    .rva _exp_Copyright          # 24
    .rva _exp_SetPath            # 25
    .rva _exp_GetData            # 26
    .rva _exp_SetData            # 27
    .rva _exp_GetFile            # 28
    .rva _exp_SetFile            # 29

name_pointers:              # in byte order of the names
    .rva name_1
    .rva name_24
    .rva name_19
    .rva name_17
    .rva name_7
    .rva name_26
    .rva name_28
    .rva name_22
    .rva name_23
    .rva name_21
    .rva name_20
    .rva name_27
    .rva name_29
    .rva name_18
    .rva name_25
    .rva name_15
    .rva name_13
    .rva name_9
    .rva name_3
    .rva name_11
    .rva name_5
    .rva name_2
    .rva name_8
    .rva name_6
    .rva name_16
    .rva name_14
    .rva name_10
    .rva name_4
    .rva name_12

ordinal_table:
    .short 0               # Close
    .short 23              # Copyright
    .short 18              # CreateObject
    .short 16              # Draw
    .short 6               # GetData
    .short 25              # GetData
    .short 27              # GetFile
    .short 21              # GetInfo
    .short 22              # GetShortInfo
    .short 20              # HasIntDlg
    .short 19              # Interface
    .short 26              # SetData
    .short 28              # SetFile
    .short 17              # SetParentWindow
    .short 24              # SetPath
    .short 14              # getbaudrate
    .short 12              # getdatabit
    .short 8               # getparity
    .short 2               # getport
    .short 10              # getstopbit
    .short 4               # getstring
    .short 1               # open
    .short 7               # senddata
    .short 5               # sendstring
    .short 15              # setbaudrate
    .short 13              # setdatabit
    .short 9               # setparity
    .short 3               # setport
    .short 11              # setstopbit

dll_name: .asciz "comrelay.dll"
name_1: .asciz "Close"
name_2: .asciz "open"
name_3: .asciz "getport"
name_4: .asciz "setport"
name_5: .asciz "getstring"
name_6: .asciz "sendstring"
name_7: .asciz "GetData"
name_8: .asciz "senddata"
name_9: .asciz "getparity"
name_10: .asciz "setparity"
name_11: .asciz "getstopbit"
name_12: .asciz "setstopbit"
name_13: .asciz "getdatabit"
name_14: .asciz "setdatabit"
name_15: .asciz "getbaudrate"
name_16: .asciz "setbaudrate"
name_17: .asciz "Draw"
name_18: .asciz "SetParentWindow"
name_19: .asciz "CreateObject"
name_20: .asciz "Interface"
name_21: .asciz "HasIntDlg"
name_22: .asciz "GetInfo"
name_23: .asciz "GetShortInfo"
name_24: .asciz "Copyright"
name_25: .asciz "SetPath"
name_26: .asciz "GetData"
name_27: .asciz "SetData"
name_28: .asciz "GetFile"
name_29: .asciz "SetFile"
