"""The sections of an INP file that define elements: the type of element
(NODE, LINK) each defines, and its kind as the map, GIS and ``--kind`` name
it.  Without imports, so that the command line's parser can offer the kinds
without loading the readers."""

ELEMENTS = {"[JUNCTIONS]": "NODE", "[RESERVOIRS]": "NODE", "[TANKS]": "NODE",
            "[PIPES]": "LINK", "[PUMPS]": "LINK", "[VALVES]": "LINK"}
KINDS = {"[JUNCTIONS]": "junction", "[TANKS]": "tank", "[RESERVOIRS]": "reservoir",
         "[PIPES]": "pipe", "[PUMPS]": "pump", "[VALVES]": "valve"}
KIND_TYPES = {kind: ELEMENTS[section] for section, kind in KINDS.items()}
