#pragma once
// The one message for every configuration problem, in the window's box and
// on mirdal-cli's output alike.

inline constexpr char kConfigurationErrorTitle[] = "Erreur fichier de configuration";
inline constexpr char kConfigurationErrorText[] =
    "Le fichier de configuration est manquant ou incorrect.\nVeuillez contacter votre support.";
