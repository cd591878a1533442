/* The DISPIDs of the control's members and events, written once: the type
   library (ActiveX_ORVA.idl), the control and its tests all take them from
   here. Only #define lines: widl's preprocessor reads this file too. */
#ifndef ORVA_OCX_DISPIDS_H
#define ORVA_OCX_DISPIDS_H

#define DISPID_ORVA_MinFixVes 0x6803004B
#define DISPID_ORVA_DecPoint 0x6803004A
#define DISPID_ORVA_ComSetting 0x68030049
#define DISPID_ORVA_ComNumber 0x68030048
#define DISPID_ORVA_VesTerminal 0x68030047
#define DISPID_ORVA_TipTerminal 0x68030046
#define DISPID_ORVA_StatusTerminal 0x68030045
#define DISPID_ORVA_UnitWeight 0x68030044

#define DISPID_ORVA_Com_ORVA_Signal 0x60030054
#define DISPID_ORVA_Stability 0x60030055
#define DISPID_ORVA_Init_VC 0x60030057
#define DISPID_ORVA_Default_Flag 0x60030064
#define DISPID_ORVA_Status_Terminale 0x6003006E

#define DISPID_ORVA_StabVes 1
#define DISPID_ORVA_ChangeVes 2
#define DISPID_ORVA_VesStatus 3

#endif
